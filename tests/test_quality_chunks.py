import random

import pytest

import _zelk
import _zelk_writer as writer
import quality_reference
from test_quality import PREFIX, decode, header, listed, random_reads, real_reads, uniform, varint

WORKER_COUNTS = [1, 2, 16]


def chunk_table(variant, segments, warmup, lengths):
    return bytes([variant]) + varint(segments) + varint(warmup) + b"".join(varint(n) for n in lengths)


def chunked(quals, seqs, **options):
    coded = writer.encode_qualities(quals, seqs=seqs, **options)
    joined = b"".join(seqs)
    for workers in WORKER_COUNTS:
        assert writer.decode_qualities(coded, joined, workers=workers) == b"".join(quals)
    assert decode(coded, seqs) == list(quals)
    return coded


@pytest.mark.parametrize("mode", [5, 6])
@pytest.mark.parametrize("variant", [1, 2])
def test_real_nanopore_reads_in_both_variants(shared_fastq, mode, variant):
    quals, seqs = real_reads(shared_fastq, "nanopore", 60)
    chunked(quals, seqs, mode=mode, chunk_variant=variant, segments=5)


@pytest.mark.parametrize("variant", [1, 2])
@pytest.mark.parametrize("segments, warmup", [
    (2, None),    # one later segment holds every read after the warm-up
    (4, 10),
    (4, 40),      # W = T: every later segment is empty
    (30, 1),      # more segments than later reads: split points coincide
    (4096, 3),
    (4, 0),       # W = 0: the first read is empty
])
def test_segment_shapes_round_trip_and_match_reference(variant, segments, warmup):
    rng = random.Random(segments)
    quals, seqs = random_reads(rng, 40, b"#+5?I", max_length=30)
    quals[0] = seqs[0] = b""
    coded = chunked(quals, seqs, mode=6, chunk_variant=variant, segments=segments, warmup=warmup)
    assert quality_reference.decode(coded, b"".join(seqs)) == b"".join(quals)


def test_warm_up_boundary_counts_trailing_empty_reads_later():
    # Reads 1 and 2 are empty: the warm-up of a 3-read boundary ends after
    # read 0 and the empty reads belong to the later segments.
    quals = [b"AB", b"", b"", b"CD", b"EF"]
    seqs = [b"AC", b"", b"", b"GT", b"TT"]
    coded = chunked(quals, seqs, mode=5, segments=3, warmup=3)
    assert quality_reference.decode(coded, b"".join(seqs)) == b"".join(quals)


def test_zero_reads_chunked():
    coded = writer.encode_qualities([], seqs=[], mode=5, segments=7)
    assert decode(coded) == []


def stream(table, lengths_block, payload=b"", mode=5):
    return header(mode, b"I") + table + lengths_block + payload


@pytest.mark.parametrize("coded, text", [
    (header(5, b"I"), PREFIX + "truncated header"),
    (stream(b"\x00", b""), "unsupported quality chunk variant 0; this archive needs a newer zelk"),
    (stream(b"\x03", b""), "unsupported quality chunk variant 3; this archive needs a newer zelk"),
    (stream(b"\x01\x01", b""), PREFIX + "chunk segment count out of range"),
    (stream(b"\x01" + varint(4097), b""), PREFIX + "chunk segment count out of range"),
    (stream(b"\x01\x02\x00\x00", b""), PREFIX + "varint too long"),
    (stream(chunk_table(1, 2, 0, [2**63, 2**63]), uniform(2, 2)), PREFIX + "chunk segment lengths overflow"),
    (stream(chunk_table(1, 2, 0, [4, 1]), uniform(2, 2), bytes(4)),
     PREFIX + "chunk segment lengths do not match the payload"),
    (stream(chunk_table(1, 2, 5, [0, 0]), uniform(2, 2)), PREFIX + "chunk warmup boundary past the block"),
    (stream(chunk_table(2, 2, 1, [0, 0]), uniform(2, 2)),
     PREFIX + "chunk warmup boundary not on a read boundary"),
    (stream(chunk_table(2, 2, 0, [0, 0]), uniform(2, 2)),
     PREFIX + "chunk warmup boundary not on a read boundary"),
])
def test_chunk_table_errors(coded, text):
    with pytest.raises(_zelk.ZelkError) as caught:
        _zelk.decode_qualities_bytes(coded, b"AAAA")
    assert str(caught.value) == text


def test_segment_table_must_match_payload():
    rng = random.Random(2)
    quals, seqs = random_reads(rng, 20, b"ABCDEFGH")
    coded = writer.encode_qualities(quals, seqs=seqs, mode=5)
    for damaged in (coded + b"\x00", coded[:-1]):
        with pytest.raises(_zelk.ZelkError, match="chunk segment lengths do not match the payload"):
            decode(damaged, seqs)


# One symbol: the warm-up's all-ones code decodes decisions of 0; a later
# segment of zero bytes decodes a decision of 1, which names symbol 1.
@pytest.mark.parametrize("workers", WORKER_COUNTS)
def test_failing_segment_fails_the_decode_on_any_pool(workers):
    table = chunk_table(1, 4, 2, [4, 4, 4, 4])
    coded = stream(table, uniform(4, 2), b"\xff" * 4 + bytes(12))
    with pytest.raises(AssertionError):
        quality_reference.decode(coded, b"ACGTACGT")
    with pytest.raises(_zelk.ZelkError, match="decoded symbol outside alphabet"):
        writer.decode_qualities(coded, b"ACGTACGT", workers=workers)


@pytest.mark.parametrize("options, text", [
    ({"chunk_variant": 3}, "chunk_variant"),
    ({"segments": 1}, "segments"),
    ({"segments": 4097}, "segments"),
    ({"warmup": 3}, "warmup"),
    ({"warmup": 0}, "chunk warmup boundary not on a read boundary"),
])
def test_chunk_encoder_refusals(options, text):
    with pytest.raises(ValueError, match=text):
        writer.encode_qualities([b"I#", b"II"], seqs=[b"AC", b"GT"], mode=5, **options)


def test_binning_names_in_tag_order():
    assert writer.binning_names() == ["lossless", "bin8", "bin4", "bin2", "ont", "hifi"]


# Phred bounds of each binning: every value from `low` to `high` maps to
# `binned`.
BINS = {
    "bin8": [(0, 0, 0), (1, 1, 1), (2, 9, 6), (10, 19, 15), (20, 24, 22), (25, 29, 27), (30, 34, 33),
             (35, 39, 37), (40, 222, 40)],
    "bin4": [(0, 2, 2), (3, 17, 12), (18, 29, 24), (30, 222, 40)],
    "bin2": [(0, 24, 15), (25, 222, 37)],
    "ont": [(0, 6, 3), (7, 13, 10), (14, 25, 18), (26, 222, 35)],
    "hifi": [(0, 6, 3), (7, 13, 10), (14, 25, 18), (26, 92, 35), (93, 222, 93)],
}


@pytest.mark.parametrize("name", sorted(BINS))
def test_binning_tables(name):
    quals = bytes(range(256))
    expected = bytearray()
    for q in quals:
        phred = max(q - 33, 0)
        expected.append(next(binned for low, high, binned in BINS[name] if low <= phred <= high) + 33)
    assert writer.bin_qualities(quals, name) == bytes(expected)


@pytest.mark.parametrize("name", ["lossless", "none"])
def test_lossless_binning_keeps_every_byte(name):
    assert writer.bin_qualities(bytes(range(256)), name) == bytes(range(256))


@pytest.mark.parametrize("tag", range(6))
def test_binning_tag_is_recorded_and_ignored_by_the_decoder(tag):
    coded = writer.encode_qualities([b"I#I"], binning=tag)
    assert coded[1] == tag
    assert decode(coded) == [b"I#I"]
