"""Shared references: the reordered layout's reference section (methods 0,
1 and 4) and the plain layout's LRR frame, round trips, payloads built by
hand from the format's rules, error texts, and plain archives that carry a
reference under every decode path."""

import os
import random
import struct
import subprocess
import sys

import pytest

import _zelk
import _zelk_writer as writer
from coding import varint
from lz_reference import reflzma_decode
from test_lz import coded_part, read_varint

REORDER = "malformed clustered stream: "
LROVERLAP = "malformed lroverlap block"
METHODS = [0, 1, 4]


def random_bases(rng, n, alphabet=b"ACGT"):
    return bytes(rng.choice(alphabet) for _ in range(n))


def reflzma(data):
    """`data` LZ coded, taken from a method-3 stream of one read."""
    return coded_part(writer.encode_sequences([data], method=3))


def decode_reorder(payload, threads=2):
    return writer.decode_reorder_reference(payload, threads=threads)


def expect_error(decode, payload, text):
    with pytest.raises(_zelk.ZelkError) as raised:
        decode(payload)
    assert str(raised.value) == text


# Round trips.

def contig_sets():
    rng = random.Random(21)
    genome = random_bases(rng, 60_000)
    return {
        "none": [],
        "one-empty": [b""],
        "empties-between": [b"", b"ACGT", b"", b"", b"T", b""],
        "genome-pieces": [genome[:20_000], genome[10_000:45_000], genome[45_000:]],
        "non-acgt": [b"NNNNNNNN" + genome[:3000] + b"acgtnRYKMSWBDHV" + b"N" * 500, bytes(range(256)) * 3],
        "one-base": [b"A" * 50_000],
        "many-small": [random_bases(rng, rng.randrange(1, 80)) for _ in range(2000)],
    }


@pytest.mark.parametrize("name", list(contig_sets()))
@pytest.mark.parametrize("method", METHODS)
def test_reorder_reference_round_trip(method, name):
    contigs = contig_sets()[name]
    payload = writer.encode_reorder_reference(contigs, method=method)
    assert payload[0] == method
    assert decode_reorder(payload) == contigs


@pytest.mark.parametrize("name", list(contig_sets()))
def test_plain_reference_round_trip(name):
    contigs = contig_sets()[name]
    payload = writer.encode_plain_reference(contigs)
    assert payload[:4] == b"LRR\x01"
    assert writer.decode_plain_reference(payload) == contigs


@pytest.mark.parametrize("method", METHODS)
def test_real_long_reads_as_contigs(shared_fastq, method):
    contigs = [sequence for _, sequence, _ in shared_fastq("ont/dna_qcat_barcode_1k.fastq", limit=60)]
    payload = writer.encode_reorder_reference(contigs, method=method)
    assert decode_reorder(payload) == contigs
    # Well below a byte per base for every method.
    assert len(payload) * 8 < 2.4 * sum(map(len, contigs))
    assert writer.decode_plain_reference(writer.encode_plain_reference(contigs)) == contigs


def test_blocked_reference_spans_several_blocks_on_any_thread_count():
    rng = random.Random(4)
    contigs = [random_bases(rng, 300_000) for _ in range(8)]  # over two blocks' worth
    payload = writer.encode_reorder_reference(contigs, method=1)
    blocks, _ = read_varint(payload, 1)
    assert blocks >= 2
    assert decode_reorder(payload, threads=1) == contigs
    assert decode_reorder(payload, threads=4) == contigs


def test_refpack_payload_follows_the_layout():
    contigs = [b"ACGTTN", b"", b"GgA"]
    payload = writer.encode_reorder_reference(contigs, method=4)
    pos = 1
    count, pos = read_varint(payload, pos)
    raw, pos = read_varint(payload, pos)
    coded, pos = read_varint(payload, pos)
    assert (count, raw) == (3, 3)
    assert reflzma_decode(payload[pos : pos + coded], raw) == bytes([6, 0, 3])
    pos += coded
    total, pos = read_varint(payload, pos)
    exceptions, pos = read_varint(payload, pos)
    assert (total, exceptions) == (9, 2)
    # "N" at 5, "g" at 7 (delta 2).
    assert payload[pos : pos + 4] == b"\x05N\x02g"
    packed = reflzma_decode(payload[pos + 4 :], 3)
    bases = bytes(b"ACGT"[packed[i // 4] >> (2 * (i % 4)) & 3] for i in range(9))
    assert bases == b"ACGTTAGAA"


def test_plain_frame_follows_the_layout():
    contigs = [b"ACGT", b"", b"NNa"]
    payload = writer.encode_plain_reference(contigs)
    count, pos = read_varint(payload, 4)
    assert count == 3
    lengths, used = writer.rans_decode_framed(payload[pos:], 100)
    assert lengths == varint(4) + varint(0) + varint(3)
    assert writer.rans_decode_framed(payload[pos + used :], 100) == (b"ACGTNNa", len(payload) - pos - used)


# Payloads built by hand.

def refpack(lengths, bases, exceptions=(), total=None, count=None, packed=None):
    """A refpack payload: `exceptions` are (delta, byte) pairs; `packed`
    overrides the packed bytes coded after them."""
    raw = b"".join(varint(n) for n in lengths)
    coded = reflzma(raw)
    total = len(bases) if total is None else total
    if packed is None:
        codes = [b"ACGT".index(b) if b in b"ACGT" else 0 for b in bases]
        packed = bytes(
            sum(codes[i + k] << (2 * k) for k in range(4) if i + k < len(codes)) for i in range(0, len(codes), 4)
        )
    body = varint(len(lengths) if count is None else count) + varint(len(raw)) + varint(len(coded)) + coded
    body += varint(total) + varint(len(exceptions)) + b"".join(varint(d) + bytes([v]) for d, v in exceptions)
    return b"\x04" + body + reflzma(packed)


def test_refpack_by_hand():
    assert decode_reorder(refpack([3, 2], b"GATCA")) == [b"GAT", b"CA"]
    assert decode_reorder(refpack([], b"")) == []


def test_refpack_first_base_sits_in_the_low_bits():
    assert decode_reorder(refpack([1], b"T", packed=b"\x03")) == [b"T"]
    assert decode_reorder(refpack([4], b"AAAA", packed=b"\x1b")) == [b"TGCA"]


def test_refpack_exception_at_the_last_position():
    assert decode_reorder(refpack([4], b"ACGT", exceptions=[(3, ord("n"))])) == [b"ACGn"]
    assert decode_reorder(refpack([4], b"ACGT", exceptions=[(1, ord("x")), (0, ord("y"))])) == [b"AyGT"]
    expect_error(decode_reorder, refpack([4], b"ACGT", exceptions=[(4, ord("n"))]),
                 REORDER + "refpack: exception position out of range")


@pytest.mark.parametrize("payload, text", [
    (b"\x04", "refpack: bad contig count"),
    (b"\x04\x01", "refpack: bad lens raw len"),
    (b"\x04\x01\x01", "refpack: bad lens coded len"),
    (b"\x04\x01\x01\x05\x00", "refpack: truncated lens stream"),
    (b"\x04\x00\x00\x00", "refpack: bad total"),
    (b"\x04\x00\x00\x00\x04", "refpack: bad exc count"),
    (b"\x04\x00\x00\x00\x04\x05", "refpack: too many exceptions"),
    (b"\x04\x00\x00\x00\x04\x01", "refpack: bad exc pos"),
    (b"\x04\x00\x00\x00\x04\x01\x01", "refpack: truncated exc byte"),
    (b"\x04\x00\x00\x00\x04\x02\x01N\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01N",
     "refpack: exception position out of range"),
], ids=["count", "raw-len", "coded-len", "lens-stream", "total", "exc-count", "many-exc", "exc-pos", "exc-byte",
        "exc-overflow"])
def test_refpack_field_errors(payload, text):
    expect_error(decode_reorder, payload, REORDER + text)


def test_refpack_capacity_rules():
    # Eight payload bytes after the tag allow 9 * 2^18 of anything.
    bound = 9 * 2**18
    for payload, text in [
        (b"\x04" + varint(bound + 1) + b"\x00" * 4, "refpack: implausible contig count"),
        (b"\x04\x00" + varint(bound + 1) + b"\x00" * 3, "refpack: lens length exceeds capacity"),
        (b"\x04\x00\x00\x00" + varint(bound + 1) + b"\x00", "refpack: declared length exceeds capacity"),
    ]:
        assert len(payload) == 9
        expect_error(decode_reorder, payload, REORDER + text)


def test_refpack_lengths_must_fit_and_agree():
    # The lengths stream holds one varint for a declared two.
    expect_error(decode_reorder, refpack([3], b"GAT", count=2), REORDER + "refpack: bad contig len")
    expect_error(decode_reorder, refpack([3, 1], b"GAT"), REORDER + "refpack: length/seq disagreement")
    expect_error(decode_reorder, refpack([3], b"GAT", total=4), REORDER + "refpack: length/seq disagreement")


@pytest.mark.parametrize("payload", [b"", b"\x02", b"\x03\x00", b"\x05", b"\xff"])
def test_bad_method_tags(payload):
    expect_error(decode_reorder, payload, "malformed zelk block: reorder reference: bad method tag")


def single(count, stream):
    return b"\x00" + varint(count) + varint(len(stream)) + stream


def blocked(blocks):
    return b"\x01" + varint(len(blocks)) + b"".join(varint(c) + varint(len(s)) + s for c, s in blocks)


def test_single_stream_by_hand():
    stream = writer.encode_sequences([b"ACGT", b"GG"])
    assert decode_reorder(single(2, stream)) == [b"ACGT", b"GG"]
    lz = writer.encode_sequences([b"ACGT", b"GG"], method=3)
    assert decode_reorder(single(2, lz)) == [b"ACGT", b"GG"]
    expect_error(decode_reorder, single(3, stream), REORDER + "reference contig count mismatch")
    expect_error(decode_reorder, single(2, stream)[:-1], REORDER + "truncated")
    expect_error(decode_reorder, b"\x00\x80", REORDER + "varint too long")
    expect_error(decode_reorder, b"\x00\x02\x80", REORDER + "varint too long")


def test_inner_stream_errors_are_the_sequence_codec_texts():
    expect_error(decode_reorder, single(1, b"\x03\x09\x00"), "malformed sequence stream: reflzma: implausible contig count")
    expect_error(decode_reorder, single(1, b"\x00"), "malformed sequence stream: truncated stream")


def test_blocked_by_hand():
    one = writer.encode_sequences([b"ACGT", b"T"])
    two = writer.encode_sequences([b"GGGA"], method=3)
    assert decode_reorder(blocked([(2, one), (1, two)])) == [b"ACGT", b"T", b"GGGA"]
    assert decode_reorder(blocked([])) == []
    expect_error(decode_reorder, blocked([(2, one), (2, two)]), REORDER + "blocked reference contig count mismatch")
    expect_error(decode_reorder, blocked([(2, one)])[:-1], REORDER + "truncated")
    # Six bytes after the tag hold at most three blocks.
    expect_error(decode_reorder, b"\x01\x04" + b"\x00" * 5, REORDER + "reference block count exceeds stream size")
    expect_error(decode_reorder, b"\x01\x03" + b"\x00" * 5, REORDER + "varint too long")


def test_blocked_reports_the_first_failing_block():
    good = writer.encode_sequences([b"ACGT"])
    payload = blocked([(1, good), (1, b"\x00"), (1, b"\x07")])
    expect_error(decode_reorder, payload, "malformed sequence stream: truncated stream")


def lrr(count, lengths, bases, version=1, magic=b"LRR"):
    return magic + bytes([version]) + varint(count) + writer.rans_encode_framed(lengths) + writer.rans_encode_framed(bases)


def test_plain_frame_by_hand():
    assert writer.decode_plain_reference(lrr(2, varint(3) + varint(1), b"ACGT")) == [b"ACG", b"T"]
    assert writer.decode_plain_reference(lrr(0, b"", b"")) == []


@pytest.mark.parametrize("payload", [
    b"", b"LR", b"LRR", lrr(1, varint(4), b"ACGT", version=2), lrr(1, varint(4), b"ACGT", version=0),
    lrr(1, varint(4), b"ACGT", magic=b"LRO"), b"LRR\x01\x80", lrr(2, varint(4), b"ACGT"),
    lrr(1, varint(3), b"ACGT"), lrr(1, varint(5), b"ACGT"), lrr(1, b"\x80", b"ACGT"),
    lrr(1, varint(4), b"ACGT")[:-1], b"LRR\x01\x01\x05",
], ids=["empty", "short-magic", "no-version", "version-2", "version-0", "magic", "count", "missing-length",
        "short-lengths", "long-length", "bad-length-varint", "cut-bases", "cut-lengths"])
def test_plain_frame_violations(payload):
    expect_error(writer.decode_plain_reference, payload, LROVERLAP)


# Plain archives carrying a reference.

HEADER = 25  # no extension records


@pytest.fixture(scope="module")
def with_reference():
    rng = random.Random(9)
    records = [(b"r%d" % i, random_bases(rng, 50 + i % 7), b"I" * (50 + i % 7)) for i in range(500)]
    contigs = [random_bases(rng, 5000), b"", b"ACGTN" * 40]
    return records, contigs, writer.write_archive(records, block_reads=120, reference=contigs)


def test_writer_stores_the_frame_after_the_header(with_reference):
    _, contigs, archive = with_reference
    assert _zelk.inspect(archive).reads == 500
    length, crc = struct.unpack_from("<II", archive, HEADER)
    payload = archive[HEADER + 8 : HEADER + 8 + length]
    assert writer.crc32c(payload) == crc
    assert writer.decode_plain_reference(payload) == contigs
    assert archive[16] & 0x20


def fastq_text(records):
    return b"".join(b"@%s\n%s\n+\n%s\n" % record for record in records)


def test_every_decode_path_reads_an_archive_with_a_reference(with_reference, tmp_path):
    records, _, archive = with_reference
    assert _zelk.decompress_to_bytes(archive) == fastq_text(records)
    assert _zelk.decompress_to_bytes(archive, threads=1, fasta=True) == b"".join(
        b">%s\n%s\n" % (name, sequence) for name, sequence, _ in records)
    path = tmp_path / "out.fastq"
    assert _zelk.decompress_to_path(archive, path) == 500
    assert path.read_bytes() == fastq_text(records)
    _zelk.verify(archive)
    assert [(r.name, r.sequence, r.quality) for r in _zelk.read_block(archive, 1)] == records[120:240]
    assert _zelk.read_sequences(archive, [0, 4]) == [r[1] for r in records[:120] + records[480:]]


@pytest.mark.parametrize("streams", [None, "names", "sequence", "quality", ["names", "sequence"],
                                     ["names", "quality"], ["sequence", "quality"], []])
def test_open_under_every_stream_selection(with_reference, streams):
    records, _, archive = with_reference
    kinds = ("names", "sequence", "quality")
    wanted = set(kinds) if streams is None else {streams} if isinstance(streams, str) else set(streams)
    expected = [tuple(field if kind in wanted else b"" for field, kind in zip(record, kinds)) for record in records]
    assert [(r.name, r.sequence, r.quality) for r in _zelk.open(archive, streams=streams)] == expected


def replace_frame(archive, payload=None, crc=None):
    length, stored_crc = struct.unpack_from("<II", archive, HEADER)
    old = archive[HEADER + 8 : HEADER + 8 + length]
    new = old if payload is None else payload
    assert len(new) == len(old)
    frame = struct.pack("<II", len(new), writer.crc32c(new) if crc is None else crc) + new
    return archive[:HEADER] + frame + archive[HEADER + 8 + length :]


def test_a_damaged_frame_fails_only_decodes_that_need_bases(with_reference):
    records, _, archive = with_reference
    damaged = replace_frame(archive, crc=0)
    with pytest.raises(_zelk.ZelkError) as raised:
        _zelk.decompress_to_bytes(damaged)
    assert str(raised.value) == "corrupted zelk data: plain-layout global reference (crc mismatch)"
    with pytest.raises(_zelk.ZelkError, match="plain-layout global reference"):
        list(_zelk.open(damaged, streams="quality"))
    # Names alone skip the frame unchecked.
    assert [r.name for r in _zelk.open(damaged, streams="names")] == [name for name, _, _ in records]


def test_a_malformed_frame_is_an_overlap_codec_error(with_reference):
    _, _, archive = with_reference
    length = struct.unpack_from("<I", archive, HEADER)[0]
    payload = bytearray(archive[HEADER + 8 : HEADER + 8 + length])
    payload[3] = 2  # version
    with pytest.raises(_zelk.ZelkError) as raised:
        _zelk.decompress_to_bytes(replace_frame(archive, bytes(payload)))
    assert str(raised.value) == LROVERLAP


def test_empty_reference_and_method3_blocks(shared_fastq):
    records = shared_fastq("illumina/hiseqx_seqkit_10k.fastq", limit=300)
    archive = writer.write_archive(records, block_reads=100, sequence_method=3, reference=[])
    assert archive[16] & 0x20
    assert [(r.name, r.sequence, r.quality) for r in _zelk.open(archive)] == records


@pytest.mark.skipif("ZELK_SANITIZED" in os.environ, reason="child interpreters lack the preloaded runtime")
def test_decode_limit_bounds_method3_blocks_and_the_reference_frame(tmp_path):
    records = [(b"r%d" % i, b"ACGTTGCA" * 5, b"I" * 40) for i in range(100)]  # 4000 bases
    lz = tmp_path / "lz.zelk"
    lz.write_bytes(writer.write_archive(records, sequence_method=3))
    framed = tmp_path / "framed.zelk"
    framed.write_bytes(writer.write_archive(records[:10], reference=[b"ACGT" * 300]))  # 1200 reference bases
    code = f"""
import _zelk
for path in ({str(lz)!r}, {str(framed)!r}):
    try:
        list(_zelk.open(path, streams="sequence"))
    except _zelk.ZelkError as error:
        print(error)
"""
    env = dict(os.environ, ZELK_DECODE_LIMIT="1000")
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert result.stdout.splitlines() == [
        "malformed sequence stream: declared sequence length of 4000 bytes exceeds the decode limit of 1000 bytes",
        LROVERLAP,
    ]
