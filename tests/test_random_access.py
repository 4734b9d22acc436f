import crc32c
import pytest

import _zelk
import _zelk_writer as writer

ILLUMINA = "illumina/hiseqx_seqkit_10k.fastq"
NANOPORE = "ont/cdna_seqkit_pcs109_5k.fastq"


def synthetic(count, length=30):
    bases = b"ACGTNacgt"
    return [(b"read%d extra=%d" % (i, i % 3),
             bytes(bases[(i * 7 + j * 3) % len(bases)] for j in range((i % 5) + length)),
             bytes(33 + (i + j) % 41 for j in range((i % 5) + length)))
            for i in range(count)]


@pytest.fixture(scope="module")
def small_archive():
    records = synthetic(50)
    return records, writer.write_archive(records, block_reads=16)


def columns(records):
    return [r[0] for r in records], [r[1] for r in records], [r[2] for r in records]


@pytest.mark.parametrize("path, limit, options", [
    (ILLUMINA, 3000, {"block_reads": 700}),
    (NANOPORE, 300, {"block_reads": 64}),
    ("pacbio/ccs_sequel_dada2_16s.fastq", 200, {"block_reads": 50, "quality_mode": 0}),
])
def test_random_access_returns_the_exact_slice_of_real_input(shared_fastq, path, limit, options):
    records = shared_fastq(path, limit)
    archive = writer.write_archive(records, **options)
    block = options["block_reads"]
    groups = _zelk.open_index(archive).num_groups
    assert groups == -(-len(records) // block)
    names, sequences, qualities = columns(records)
    assert _zelk.read_names(archive) == names
    assert _zelk.read_sequences(archive) == sequences
    assert _zelk.read_qualities(archive) == qualities
    last = groups - 1
    chosen = [last, 0, last]
    expect = [i for g in chosen for i in range(g * block, min((g + 1) * block, len(records)))]
    assert _zelk.read_sequences(archive, chosen) == [sequences[i] for i in expect]
    got = _zelk.read_block(archive, 1)
    assert [(r.name, r.sequence, r.quality) for r in got] == records[block:2 * block]


def test_read_functions_on_groups_lists(small_archive):
    records, archive = small_archive
    names = [r[0] for r in records]
    assert _zelk.read_names(archive, []) == []
    assert _zelk.read_names(archive, [1, 1]) == names[16:32] * 2
    assert _zelk.read_names(archive, (3,)) == names[48:]
    with pytest.raises(_zelk.ZelkError) as raised:
        _zelk.read_names(archive, [0, 99])
    assert str(raised.value) == "malformed zelk block: row-group index out of range"
    with pytest.raises(TypeError):
        _zelk.read_names(archive, "01")
    with pytest.raises(OverflowError):
        _zelk.read_names(archive, [-1])


def test_read_block_records(small_archive):
    records, archive = small_archive
    block = _zelk.read_block(archive, 2)
    assert len(block) == 16
    first = block[0]
    assert (first.name, first.sequence, first.quality) == records[32]
    assert len(first) == len(records[32][1])
    assert repr(first) == 'Record(name="read32 extra=2", len=%d)' % len(records[32][1])
    with pytest.raises(_zelk.ZelkError, match="^malformed zelk block: row-group index out of range$"):
        _zelk.read_block(archive, 4)
    with pytest.raises(AttributeError):
        first.name = b"x"


def test_record_repr_replaces_invalid_utf8():
    archive = writer.write_archive([(b"a\xffb\t\"", b"AC", b"II")])
    record = _zelk.read_block(archive, 0)[0]
    assert record.name == b"a\xffb\t\""
    assert repr(record) == 'Record(name="a\ufffdb\\t\\"", len=2)'


def test_remote_fetch_of_one_column(small_archive):
    records, archive = small_archive
    index, need = _zelk.parse_index_suffix(archive[-40:], len(archive))
    if index is None:
        index, _ = _zelk.parse_index_suffix(archive[-need:], len(archive))
    start, end = index.stream_range(2, "qual")
    coded = archive[start:end]
    index.verify_stream(2, "qual", coded)
    assert index.stream_crc(2, "quality") == crc32c.crc32c(coded)
    seq = None
    if _zelk.quality_needs_sequence_bytes(coded):
        s, e = index.stream_range(2, "seq")
        seq = b"".join(_zelk.decode_sequences_bytes(archive[s:e]))
    assert _zelk.decode_qualities_bytes(coded, seq) == [r[2] for r in records[32:48]]
    s, e = index.stream_range(2, "names")
    assert _zelk.decode_names_bytes(archive[s:e]) == [r[0] for r in records[32:48]]


@pytest.mark.parametrize("coded, expected", [
    (b"", False), (b"\x02\x00\x01", True), (b"\x02\x00\x00", False), (b"\x02\x01", False),
    (b"\x02\x07\x07\x00", True), (b"\x01\x00\x01", False),
])
def test_quality_needs_sequence_bytes(coded, expected):
    assert _zelk.quality_needs_sequence_bytes(coded) is expected


def payload_of(archive, group=0):
    index = _zelk.open_index(archive)
    offset = index.groups()[group].block_offset
    length = int.from_bytes(archive[offset + 4: offset + 12], "little")
    return archive[offset + 16: offset + 16 + length]


@pytest.mark.parametrize("stream, digest", [("names", "names"), ("sequence", "sequence"), ("quality", "quality")])
def test_wrong_digest_with_valid_crcs_is_caught(small_archive, stream, digest):
    records, archive = small_archive
    payload = payload_of(archive)
    n = int.from_bytes(payload[28:32], "little")
    names = payload[32:32 + n]
    s = int.from_bytes(payload[32 + n:36 + n], "little")
    sequence = payload[36 + n:36 + n + s]
    quality = payload[40 + n + s:]
    digests = {"names_digest": int.from_bytes(payload[0:8], "little"),
               "sequence_digest": int.from_bytes(payload[8:16], "little"),
               "quality_digest": int.from_bytes(payload[16:24], "little")}
    digests[digest + "_digest"] ^= 1
    bad = writer.block_payload(names, sequence, quality, read_count=16, **digests)
    rebuilt = writer.plain_archive(writer.encode_header(), [bad])
    with pytest.raises(_zelk.ZelkError) as raised:
        _zelk.read_block(rebuilt, 0)
    assert str(raised.value) == f"corrupted zelk data: block {digest} digest (crc mismatch)"
    # The stream functions check footer CRCs of coded bytes, not decoded digests.
    getattr(_zelk, "read_" + {"names": "names", "sequence": "sequences", "quality": "qualities"}[stream])(rebuilt)


def test_corrupted_stream_bytes_fail_the_footer_crc(small_archive):
    records, archive = small_archive
    index = _zelk.open_index(archive)
    start, _ = index.stream_range(1, "sequence")
    damaged = bytearray(archive)
    damaged[start] ^= 0x40
    with pytest.raises(_zelk.ZelkError) as raised:
        _zelk.read_sequences(bytes(damaged), [1])
    assert str(raised.value) == "corrupted zelk data: row group 1 Sequence stream (crc mismatch)"


@pytest.mark.parametrize("payload, text", [
    (b"\0" * 27, "truncated zelk stream"),
    (b"\0" * 31, "truncated zelk stream"),
    (writer.block_payload(b"", b"", b"") + b"x",
     "malformed zelk block: block payload has trailing bytes after the three streams"),
])
def test_payload_bounds(payload, text):
    archive = writer.plain_archive(writer.encode_header(), [payload])
    # A payload that does not split gets no footer entry; decode it through the stream path.
    with pytest.raises(_zelk.ZelkError) as raised:
        _zelk.decompress_to_bytes(archive)
    assert str(raised.value) == text


def test_reordered_archive_has_no_random_access():
    from archives import reordered

    archive = reordered([b"p", b"s", b"n"], [], [])
    for call in (lambda: _zelk.read_block(archive, 0), lambda: _zelk.read_names(archive)):
        with pytest.raises(_zelk.ZelkError) as raised:
            call()
        assert str(raised.value) == (
            "malformed zelk block: reorder layout has no row-group index; random access is unsupported")


def test_read_block_frame_length_beyond_maximum():
    archive = bytearray(writer.write_archive(synthetic(3)))
    archive[25 + 4: 25 + 12] = ((1 << 31) + 1).to_bytes(8, "little")
    with pytest.raises(_zelk.ZelkError, match="block payload length exceeds the maximum"):
        _zelk.read_block(bytes(archive), 0)
