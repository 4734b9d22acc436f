"""The rANS coder: encoders against a reference model written from the
block format, every decoder against the others byte for byte, and the exact
error texts on hand-made and damaged blocks."""

import os
import random
import struct

import pytest

import _zelk
import _zelk_writer as w
from coding import varint

TOTFREQ = 4096
LANES = 32
VECTOR_IMPLS = [impl for impl in ("avx2", "avx512") if w.rans_impl_available(impl)]
ALL_IMPLS = ["scalar", *VECTOR_IMPLS]
ENCODER_IMPLS = ["scalar", *(["avx512"] if w.rans_impl_available("avx512") else [])]


# -- reference coder, straight from the block format ------------------------


def ref_normalise(counts):
    total = sum(counts)
    f = [0] * 256
    if total == 0:
        return f
    for s, c in enumerate(counts):
        if c:
            f[s] = max(1, c * TOTFREQ // total)
    d = f.index(max(f))
    if sum(f) < TOTFREQ:
        f[d] += TOTFREQ - sum(f)
    excess = sum(f) - TOTFREQ
    while excess > 0:
        taken = min(f[d] - 1, excess)
        f[d] -= taken
        excess -= taken
        if excess:
            largest = max(v for v in f if v > 1)
            d = f.index(largest)
    return f


def cumulative(freq):
    cum = [0]
    for f in freq:
        cum.append(cum[-1] + f)
    return cum


def ref_encode(data, order):
    """The encoder with plain division, as the format defines the step."""
    n = len(data)
    out = bytes([order]) + struct.pack("<Q", n)
    if n == 0:
        return out
    contexts = [0] + list(data[:-1]) if order == 1 else [0] * n
    rows = {}
    for context, symbol in zip(contexts, data):
        rows.setdefault(context, [0] * 256)[symbol] += 1
    freqs = {c: ref_normalise(row) for c, row in rows.items()}
    cums = {c: cumulative(f) for c, f in freqs.items()}
    states = [1 << 16] * LANES
    words = []
    for i in range(n - 1, -1, -1):
        c, s = contexts[i], data[i]
        f, start = freqs[c][s], cums[c][s]
        x = states[i % LANES]
        while x >= f << 20:
            words.append(x & 0xFFFF)
            x >>= 16
        states[i % LANES] = (x // f) * TOTFREQ + x % f + start
    if order == 1:
        bitmap = bytearray(32)
        for c in rows:
            bitmap[c // 8] |= 1 << (c % 8)
        out += bytes(bitmap)
    for c in sorted(freqs):
        out += struct.pack("<256H", *freqs[c])
    out += struct.pack("<32I", *states)
    out += b"".join(struct.pack("<H", word) for word in reversed(words))
    return out


def order0_block(freq, states, words=b"", n=None, tag=0):
    """A hand-made order-0 block."""
    n = 1 if n is None else n
    return (bytes([tag]) + struct.pack("<Q", n) + struct.pack("<256H", *freq)
            + struct.pack("<32I", *states) + words)


def single_symbol_table(symbol):
    freq = [0] * 256
    freq[symbol] = TOTFREQ
    return freq


# -- inputs ------------------------------------------------------------------


def skewed(n, rng):
    return bytes(rng.choices(range(256), weights=[1000] + [1] * 255, k=n))


def structured(n, rng):
    return bytes(b"@read:%d ACGT\n" % rng.randrange(1000) * (n // 10 + 1))[:n]


GENERATORS = {
    "random": lambda n, rng: rng.randbytes(n),
    "one_symbol": lambda n, rng: b"Q" * n,
    "dna": lambda n, rng: bytes(rng.choices(b"ACGT", k=n)),
    "skewed": skewed,
    "structured": structured,
    "all_symbols": lambda n, rng: bytes(i % 256 for i in range(n)),
}

LENGTHS = [*range(0, 101), 127, 128, 129, 159, 160, 161, 255, 256, 257, 1023, 1024, 1025, 4095, 4097]


def encode_everywhere(data, order):
    """Every encoder's block, checked to agree byte for byte."""
    blocks = {impl: w.rans_encode(data, order, impl) for impl in ENCODER_IMPLS}
    blocks["auto"] = w.rans_encode(data, order)
    assert len(set(blocks.values())) == 1, {k: len(v) for k, v in blocks.items()}
    return blocks["scalar"]


def decode_everywhere(block, max_len):
    """Every decoder's result, checked to agree byte for byte."""
    results = {impl: w.rans_decode(block, max_len, impl) for impl in ALL_IMPLS}
    results["auto"] = w.rans_decode(block, max_len)
    assert len(set(results.values())) == 1, {k: len(v) for k, v in results.items()}
    return results["scalar"]


# -- round trips -------------------------------------------------------------


@pytest.mark.parametrize("kind", GENERATORS)
@pytest.mark.parametrize("order", [0, 1])
def test_round_trip_every_length(kind, order):
    rng = random.Random(f"{kind}{order}")
    for n in LENGTHS:
        data = GENERATORS[kind](n, rng)
        block = encode_everywhere(data, order)
        assert decode_everywhere(block, n) == data


@pytest.mark.parametrize("kind", ["random", "dna", "skewed", "all_symbols"])
@pytest.mark.parametrize("order", [0, 1])
def test_encoder_matches_reference(kind, order):
    rng = random.Random(kind)
    for n in (1, 31, 33, 64, 1000, 5000):
        data = GENERATORS[kind](n, rng)
        assert encode_everywhere(data, order) == ref_encode(data, order)


def test_large_blocks_round_trip():
    rng = random.Random(7)
    data = bytes(rng.choices(range(40, 75), weights=range(1, 36), k=3 << 20)) + os.urandom(1 << 20)
    for order in (0, 1):
        assert decode_everywhere(encode_everywhere(data, order), len(data)) == data


def test_real_qualities_and_names(shared_fastq):
    records = shared_fastq("illumina/hiseqx_seqkit_10k.fastq", limit=3000)
    for column in (1, 2, 0):
        data = b"\n".join(record[column] for record in records)
        for order in (0, 1):
            block = encode_everywhere(data, order)
            assert decode_everywhere(block, len(data)) == data
            assert len(block) < len(data)


def test_best_of_keeps_order0_on_ties_and_takes_shorter_order1():
    rng = random.Random(3)
    for data in (b"", b"A" * 1000, rng.randbytes(5000), b"ACGTTGCA" * 2000, structured(20000, rng)):
        order0, order1 = w.rans_encode(data, 0), w.rans_encode(data, 1)
        assert w.rans_encode_best(data) == (order1 if len(order1) < len(order0) else order0)
    assert w.rans_encode_best(b"ACGT" * 5000)[0] == 1


# -- normalisation, seen through the tables the encoder writes ---------------


def order0_table(block):
    return list(struct.unpack_from("<256H", block, 9))


@pytest.mark.parametrize(
    "counts",
    [
        {65: 10000},
        {**{s: 1 for s in range(255)}, 255: 100000},
        {**{s: 1 for s in range(200)}, 200: 50, 201: 60, 202: 70},
        {s: s + 1 for s in range(256)},
        {0: 3, 1: 3, 2: 3},
    ],
    ids=["single", "rare_255", "rounded_up_excess", "ramp", "three_equal"],
)
def test_normalised_tables(counts):
    data = b"".join(bytes([s]) * c for s, c in counts.items())
    table = order0_table(w.rans_encode(data, 0))
    histogram = [counts.get(s, 0) for s in range(256)]
    assert table == ref_normalise(histogram)
    assert sum(table) == TOTFREQ
    assert all((f >= 1) == (c > 0) for f, c in zip(table, histogram))


def test_single_symbol_block_has_no_words():
    block = w.rans_encode(b"z" * 5000, 0)
    assert len(block) == 9 + 512 + 128
    assert order0_table(block) == single_symbol_table(ord("z"))
    assert w.rans_encode_best(b"z" * 5000) == block


def test_rare_symbols_keep_one_and_dominant_takes_rest():
    data = bytes(range(255)) + b"\xff" * 100000
    table = order0_table(w.rans_encode(data, 0))
    assert table[:255] == [1] * 255 and table[255] == TOTFREQ - 255


# -- hand-made blocks and their texts ----------------------------------------


def rans_error(detail):
    return pytest.raises(_zelk.ZelkError, match="^malformed rANS stream: " + detail + "$")


@pytest.mark.parametrize("tag", [0, 1, 7, 255])
def test_empty_block_whatever_the_tag(tag):
    block = bytes([tag]) + bytes(8)
    for impl in ALL_IMPLS:
        assert w.rans_decode(block, 0, impl) == b""
        assert w.rans_decode(block + b"trailing", 10, impl) == b""


@pytest.mark.parametrize("size", range(0, 9))
def test_shorter_than_header_is_truncated(size):
    with rans_error("truncated stream"):
        w.rans_decode(bytes([0, 5, 0, 0, 0, 0, 0, 0, 0])[:size], 100)


def test_length_over_bound_fails_before_tables():
    block = bytes([9]) + struct.pack("<Q", 101)
    with rans_error("rANS output length exceeds caller bound"):
        w.rans_decode(block, 100)


def test_unknown_order_tag():
    with rans_error("unknown order tag"):
        w.rans_decode(bytes([2]) + struct.pack("<Q", 1) + bytes(700), 1)


@pytest.mark.parametrize("total, text", [(4097, "rANS freq table exceeds TOTFREQ"),
                                         (4095, "rANS freq table does not sum to TOTFREQ"),
                                         (0, "rANS freq table does not sum to TOTFREQ")])
def test_table_sums(total, text):
    freq = [0] * 256
    freq[3], freq[200] = total // 2, total - total // 2
    with rans_error(text):
        w.rans_decode(order0_block(freq, [1 << 16] * 32), 1)


def test_running_sum_overflow_reported_at_once():
    # 4097 reached in the middle, though later entries could not "fix" it.
    freq = [0] * 256
    freq[0], freq[1] = 4000, 97
    with rans_error("rANS freq table exceeds TOTFREQ"):
        w.rans_decode(order0_block(freq, [1 << 16] * 32), 1)


def test_single_symbol_table_consumes_no_words():
    block = order0_block(single_symbol_table(0x41), [0x12345678] * 32, n=1000)
    for impl in ALL_IMPLS:
        assert w.rans_decode(block, 1000, impl) == b"A" * 1000


def order1_block(tables, n, states=None, words=b""):
    bitmap = bytearray(32)
    for c in tables:
        bitmap[c // 8] |= 1 << (c % 8)
    body = b"".join(struct.pack("<256H", *tables[c]) for c in sorted(tables))
    return (bytes([1]) + struct.pack("<Q", n) + bytes(bitmap) + body
            + struct.pack("<32I", *(states or [1 << 16] * 32)) + words)


def test_order1_without_context_zero():
    block = order1_block({5: single_symbol_table(5)}, 3)
    with rans_error("symbol references absent context"):
        w.rans_decode(block, 3)


def test_order1_reaching_an_absent_context():
    # Context 0 always yields 'a'; context 'a' has no table.
    block = order1_block({0: single_symbol_table(ord("a"))}, 2)
    with rans_error("symbol references absent context"):
        w.rans_decode(block, 2)
    single = bytes([1]) + struct.pack("<Q", 1) + block[9:]
    assert w.rans_decode(single, 1) == b"a"


def test_order1_sparse_contexts():
    rng = random.Random(11)
    # Each byte is followed by one of two successors: 256 tiny contexts.
    data = bytearray([0])
    for _ in range(20000):
        data.append((data[-1] * 7 + rng.choice((1, 2))) % 256)
    data = bytes(data)
    block = w.rans_encode(data, 1)
    assert decode_everywhere(block, len(data)) == data
    assert block == ref_encode(data, 1)


@pytest.mark.parametrize("order", [0, 1])
def test_every_truncation_point(order):
    data = bytes(random.Random(order).choices(b"ACGTN", weights=[30, 20, 20, 30, 1], k=300))
    block = w.rans_encode(data, order)
    contexts = 1 if order == 0 else sum(bin(b).count("1") for b in block[9:41])
    words_start = 9 + 32 * order + 512 * contexts + 128
    for cut in range(len(block)):
        for impl in ALL_IMPLS:
            vector = impl != "scalar" and order == 0
            text = "truncated renorm stream" if vector and cut >= words_start else "truncated stream"
            with rans_error(text):
                w.rans_decode(block[:cut], len(data), impl)


@pytest.mark.parametrize("n", [
    (1 << 64) - 1,
    pytest.param(1 << 46, marks=pytest.mark.skipif(
        os.environ.get("ZELK_SANITIZED") == "1", reason="the sanitizer aborts on huge allocations")),
])
def test_huge_declared_length_within_a_huge_bound(n):
    block = order0_block(single_symbol_table(1), [1 << 16] * 32, n=n)
    with rans_error("rANS output length too large to allocate"):
        w.rans_decode(block, (1 << 64) - 1)


def test_damaged_blocks_decode_alike_everywhere():
    """Random damage to valid blocks: every decoder gives the same bytes, or
    fails with its own wording of the same failure."""
    rng = random.Random(99)
    same_failure = {"truncated renorm stream": "truncated stream"}
    sources = [GENERATORS[k](n, rng) for k in ("dna", "random", "skewed") for n in (40, 200, 700)]
    for data in sources:
        block = bytearray(w.rans_encode(data, 0))
        for _ in range(60):
            damaged = bytearray(block)
            for _ in range(rng.randrange(1, 4)):
                damaged[rng.randrange(9, len(damaged))] = rng.randrange(256)
            damaged = bytes(damaged[: rng.randrange(len(damaged) - 60, len(damaged) + 1)])
            outcomes = set()
            for impl in ALL_IMPLS:
                try:
                    outcomes.add(w.rans_decode(damaged, len(data), impl))
                except _zelk.ZelkError as error:
                    detail = str(error).removeprefix("malformed rANS stream: ")
                    outcomes.add(same_failure.get(detail, detail))
            assert len(outcomes) == 1, outcomes


def test_unnormalised_states_take_several_words():
    # State 0 with a two-symbol table: the step leaves x < 2^16 and pulls
    # words until it is normalised again.
    freq = [0] * 256
    freq[0] = freq[1] = TOTFREQ // 2
    words = struct.pack("<8H", 0, 0, 1, 2, 3, 4, 5, 6) + os.urandom(600)
    block = order0_block(freq, [0] * 32, words, n=200)
    assert len(decode_everywhere(block, 200)) == 200


# -- framed sub-streams ------------------------------------------------------


@pytest.mark.parametrize("data", [b"", b"x", b"ACGT" * 1000, bytes(range(256)) * 3])
def test_framed_round_trip(data):
    framed = w.rans_encode_framed(data)
    assert w.rans_decode_framed(framed + b"rest", len(data)) == (data, len(framed))
    if not data:
        assert framed == b"\x00"


def test_framed_errors():
    block = w.rans_encode(b"hello hello", 0)
    cases = [
        (b"", "varint too long"),
        (b"\x80", "varint too long"),
        (b"\xff" * 10, "varint too long"),
        (varint(11) + b"\x80", "varint too long"),
        (varint(11) + varint(len(block) + 1) + block, "truncated stream"),
        (varint(12) + varint(len(block)) + block, "framed length mismatch"),
        (varint(10) + varint(len(block)) + block, "rANS output length exceeds caller bound"),
        (varint(11) + varint(5) + block[:5], "truncated stream"),
    ]
    for framed, text in cases:
        with rans_error(text):
            w.rans_decode_framed(framed, 1000)
    with rans_error("rANS output length exceeds caller bound"):
        w.rans_decode_framed(varint(11) + varint(len(block)) + block, 10)


def test_unknown_impl_name():
    with pytest.raises(ValueError):
        w.rans_decode(b"", 0, "sse9")
    with pytest.raises(ValueError):
        w.rans_encode(b"", 0, "sse9")
