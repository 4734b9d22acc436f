import os
import random

import crc32c as crc32c_oracle
import pytest

import _zelk_writer as writer

MIB = 1 << 20
IMPLS = ["auto", "table"] + (["hardware"] if writer.crc32c_hardware_available() else [])


@pytest.mark.parametrize("impl", IMPLS)
def test_crc32c_matches_independent_implementation(impl):
    rng = random.Random(7)
    assert writer.crc32c(b"123456789", impl) == 0xE3069283
    assert writer.crc32c(b"", impl) == 0
    for length in list(range(0, 40)) + [255, 256, 1023, 4097, 100_003]:
        data = rng.randbytes(length)
        assert writer.crc32c(data, impl) == crc32c_oracle.crc32c(data), length


def test_crc32c_paths_agree_on_unaligned_slices():
    data = os.urandom(10_000)
    for start in range(9):
        piece = data[start : start + 777 + start]
        assert len({writer.crc32c(piece, impl) for impl in IMPLS}) == 1


def test_crc32c_rejects_unknown_impl():
    with pytest.raises(ValueError):
        writer.crc32c(b"x", "fast")


@pytest.mark.parametrize("split", [0, 1, 7, 500, 999, 1000])
def test_combine_equals_crc_of_concatenation(split):
    data = random.Random(split).randbytes(1000)
    a, b = data[:split], data[split:]
    combined = writer.crc32c_combine(writer.crc32c(a), writer.crc32c(b), len(b))
    assert combined == crc32c_oracle.crc32c(data)


def test_combine_with_empty_second_part_returns_first():
    assert writer.crc32c_combine(0x12345678, 0, 0) == 0x12345678


@pytest.mark.parametrize("covered", [0, 1, MIB - 1, MIB, MIB + 1, 3 * MIB + 17])
@pytest.mark.parametrize("threads", [1, 2, 5])
def test_whole_file_crc_single_piece_and_chunked_paths(covered, threads):
    data = random.Random(covered).randbytes(3 * MIB + 100)
    expected = crc32c_oracle.crc32c(data[:covered])
    assert writer.whole_file_crc(data, covered, threads) == expected


def test_whole_file_crc_past_end_of_data_is_an_io_error():
    with pytest.raises(OSError, match="failed to fill whole buffer"):
        writer.whole_file_crc(b"x" * 100, 2 * MIB)
