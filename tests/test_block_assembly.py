"""Archives assembled from blocks encoded apart (what distributed
compression does) are the streaming writer's archives, byte for byte."""

import crc32c
import pytest

import _zelk
import _zelk_writer as writer


def fastq(records, plus=b""):
    return b"".join(b"@%s\n%s\n+%s\n%s\n" % (name, seq, plus, qual) for name, seq, qual in records)


def streamed(texts, **options):
    stream = writer.ArchiveStream(members=len(texts), **options)
    inputs = [writer.FastqInput(text) for text in texts]
    out = b""
    while stream.add_fastq(inputs):
        out += stream.take()
    return out + stream.finish()


def assembled(member_records, plus=b"", **options):
    """Blocks of block_reads_for(...) slots encoded one by one, then joined
    with archive_ending, as zelk.dask.compress does on a cluster."""
    members = len(member_records)
    per_block = writer.block_reads_for(len(member_records[0][0][1]), members=members, **options) // members
    pieces = []
    for start in range(0, len(member_records[0]), per_block):
        inputs = [writer.FastqInput(fastq(records[start:start + per_block], plus), wrapped=False)
                  for records in member_records]
        pieces.append(writer.encode_block(inputs, not pieces, members=members, **options))
    assert all(head == b"" for head, _, _ in pieces[1:])
    header = pieces[0][0]
    body = b"".join(frame for _, frame, _ in pieces)
    return header + body + writer.archive_ending(header, [summary for _, _, summary in pieces])


def short_reads(count, tag=b"1"):
    return [(b"SIM:1:FC:1:%d:%d:%d %s:N:0:ACGT" % (i % 3, i, i * 7, tag),
             bytes(b"ACGT"[(i * 7 + j * j) % 4] for j in range(100 + i % 5)),
             bytes(33 + (i + j) % 41 for j in range(100 + i % 5))) for i in range(count)]


def long_reads(count):
    return [(b"read%d" % i, bytes(b"ACGT"[(i + j // 3) % 4] for j in range(1500 + 37 * i)),
             bytes(35 + (i * j) % 30 for j in range(1500 + 37 * i))) for i in range(count)]


@pytest.mark.parametrize("records, options", [
    (short_reads(1000), {"block_reads": 128}),
    (short_reads(300), {"block_reads": 300}),
    (short_reads(50), {}),  # the default block size, chosen from the first read
    (short_reads(700), {"block_reads": 100, "sequence_order": 6, "hashed_order": 0, "table_bits": 0}),
    (long_reads(9), {"block_reads": 4}),  # qualities coded against the bases
    # A shared reference frame between the header and the first block.
    (short_reads(120), {"block_reads": 50, "reference": [b"ACGTTGCAAGCT" * 40, b"GATTACA" * 30]}),
])
def test_blocks_encoded_apart_make_the_streamed_archive(records, options):
    archive = assembled([records], **options)
    assert archive == streamed([fastq(records)], **options)
    assert [r.name for r in _zelk.open(archive)] == [r[0] for r in records]
    # The whole-file CRC was combined from the blocks' CRCs; an independent
    # CRC over the stored bytes must agree.
    index = _zelk.open_index(archive)
    covered = len(archive) - 12 - 8  # trailer, then the CRC fields
    assert index.whole_file_crc == crc32c.crc32c(archive[:covered])
    _zelk.verify(archive)


def test_header_comes_from_the_first_block():
    # '+' text in the first block sets the flag; the platform is detected
    # from the first block's names.
    records = short_reads(40)
    archive = assembled([records], plus=b"x", block_reads=16)
    assert archive == streamed([fastq(records, b"x")], block_reads=16)
    info = _zelk.inspect(archive)
    assert info.plus_normalized and info.platform == "Illumina"


def test_mates_with_labels():
    r1, r2 = short_reads(90, b"1"), short_reads(90, b"2")
    options = {"block_reads": 20, "labels": ["R1", "R2"]}
    archive = assembled([r1, r2], **options)
    assert archive == streamed([fastq(r1), fastq(r2)], **options)
    assert _zelk.inspect(archive).member_labels == ["R1", "R2"]


def test_default_block_reads_follow_the_read_length():
    assert writer.block_reads_for(100) == (8 << 20) // 100
    assert writer.block_reads_for(100, members=3) == (8 << 20) // 100 // 3 * 3
    assert writer.block_reads_for(10 ** 9) == 16
    assert writer.block_reads_for(1) == 262144
    assert writer.block_reads_for(100, block_reads=7) == 7


def test_refusals():
    with pytest.raises(ValueError, match="a block needs at least one record"):
        writer.encode_block(writer.FastqInput(b""), True)
    with pytest.raises(OSError, match=r"^input \(block 3\): line 3, record 1: invalid description prefix$"):
        writer.encode_block(writer.FastqInput(b"@r\nACGT\nIIII\n", "input (block 3)", wrapped=False), False)
    with pytest.raises(TypeError, match="each summary must be"):
        writer.archive_ending(writer.encode_header(), [(1, 2, 3)])
    with pytest.raises(ValueError, match="more records than"):
        writer.encode_block([writer.FastqInput(fastq(short_reads(2))), writer.FastqInput(fastq(short_reads(3)))], True)


def test_ending_alone_is_an_empty_archive():
    header = writer.encode_header()
    archive = header + writer.archive_ending(header, [])
    assert archive == writer.plain_archive(header, [])
    assert _zelk.inspect(archive).reads == 0
