"""Reverse complements: the vector path against the byte loop, and both
forms against a plain translation table."""

import random

import pytest

import _zelk_writer as writer

BOTH_CASES = bytes.maketrans(b"ACGTacgt", b"TGCAtgca")
UPPER_ONLY = bytes.maketrans(b"ACGT", b"TGCA")


def random_bytes(length, seed, alphabet=bytes(range(256))):
    rng = random.Random(seed)
    return bytes(rng.choice(alphabet) for _ in range(length))


def test_documented_examples():
    assert writer.revcomp(b"ACgtN") == b"NacGT"
    assert writer.reverse_complement(b"ACgtN") == b"NtgGT"


@pytest.mark.parametrize("alphabet", [bytes(range(256)), b"ACGTNacgtn"], ids=["any-byte", "bases"])
@pytest.mark.parametrize("length", [0, 1, 15, 16, 17, 31, 32, 33, 100, 4099])
def test_revcomp_paths_agree_with_table(length, alphabet):
    data = random_bytes(length, length, alphabet)
    expected = data[::-1].translate(BOTH_CASES)
    assert writer.revcomp(data, vector=False) == expected
    assert writer.revcomp(data) == expected
    try:
        vector = writer.revcomp(data, vector=True)
    except RuntimeError:
        pytest.skip("no vector path on this CPU")
    assert vector == expected[: length // 16 * 16]


def test_every_byte_value_through_the_vector_path():
    data = bytes(range(256)) * 2
    assert writer.revcomp(data) == data[::-1].translate(BOTH_CASES)


@pytest.mark.parametrize("length", [0, 1, 33, 1000])
def test_reverse_complement_swaps_upper_case_only(length):
    data = random_bytes(length, length, b"ACGTNacgtn-")
    assert writer.reverse_complement(data) == data[::-1].translate(UPPER_ONLY)
