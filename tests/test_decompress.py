import io
import os
import random
import threading

import pytest

import _zelk
import _zelk_writer as writer
from coding import varint

ILLUMINA = "illumina/hiseqx_seqkit_10k.fastq"


def fastq_text(records):
    return b"".join(b"@%s\n%s\n+\n%s\n" % r for r in records)


def fasta_text(records):
    return b"".join(b">%s\n%s\n" % (n, s) for n, s, _ in records)


def synthetic(count, length=20):
    return [(b"r%d" % i, b"ACGT" * (length // 4) + b"N" * (i % 3), b"I" * length + b"#" * (i % 3))
            for i in range(count)]


def test_decompress_real_reads_in_both_formats(shared_fastq):
    records = shared_fastq(ILLUMINA, 2500)
    archive = writer.write_archive(records, block_reads=300)
    assert _zelk.decompress_to_bytes(archive) == fastq_text(records)
    assert _zelk.decompress_to_bytes(archive, fasta=True) == fasta_text(records)


@pytest.mark.parametrize("threads", [0, 1, 2, 3, 10**6])
def test_same_output_for_any_thread_count(threads):
    records = synthetic(500)
    archive = writer.write_archive(records, block_reads=37)
    assert _zelk.decompress_to_bytes(archive, threads=threads) == fastq_text(records)


def mixed_case_records(count, length=100, seed=5):
    """Reads whose lower-case and IUPAC bases the context model stores as
    exceptions, spread over many of its decoded stretches."""
    rng = random.Random(seed)
    records = []
    for i in range(count):
        bases = bytearray(rng.choice(b"ACGT") for _ in range(length))
        for _ in range(3):
            bases[rng.randrange(length)] = rng.choice(b"acgtnRYKM")
        quality = bytes(rng.choice(b"#+5?ABCDEFGHI") for _ in range(length))
        records.append((b"m%d" % i, bytes(bases), quality))
    return records


@pytest.mark.parametrize("quality_mode", [0, 1])
def test_qualities_decode_beside_the_bases_they_follow(quality_mode):
    # 200 k bases: qualities coded against the bases (mode 1) read each read
    # as its bases come out, exceptions included; mode 0 needs none.
    records = mixed_case_records(2000)
    archive = writer.write_archive(records, sequence_method=0, quality_mode=quality_mode)
    for threads in (1, 2):
        assert _zelk.decompress_to_bytes(archive, threads=threads) == fastq_text(records)
        alone = [r.quality for r in _zelk.open(archive, threads=threads, streams="quality")]
        assert alone == [quality for _, _, quality in records]


def test_a_failed_sequence_stream_is_the_error_beside_its_qualities():
    rng = random.Random(8)
    records = [(b"f%d" % i, bytes(rng.choice(b"ACGT") for _ in range(100)), bytes(rng.choice(b"#5AI") for _ in range(100)))
               for i in range(700)]
    records[-1] = (records[-1][0], records[-1][1][:-1] + b"R", records[-1][2])
    names, bases, qualities = (list(field) for field in zip(*records))
    coded = writer.encode_sequences(bases, method=0, order=8, hashed_order=0, table_bits=0)
    # The one exception, at the last base, moved past the end: it fails only
    # once every base is decoded and published. An unknown method fails
    # before any base is.
    total = sum(map(len, bases))
    exception = varint(1) + varint(total - 1) + b"R"
    assert coded.count(exception) == 1 and len(varint(total + 9)) == len(varint(total - 1))
    broken = {coded.replace(exception, varint(1) + varint(total + 9) + b"R"): "exception out of range",
              b"\x09" + coded[1:]: "unsupported zelk sequence codec method 9; upgrade zelk"}
    names_coded = writer.encode_names(names)
    qualities_coded = writer.encode_qualities(qualities, seqs=bases, mode=1)
    for sequence, message in broken.items():
        payload = writer.block_payload(names_coded, sequence, qualities_coded, names=names, sequences=bases,
                                       qualities=qualities)
        archive = writer.plain_archive(writer.encode_header(), [payload])
        for threads in (1, 2):
            with pytest.raises(_zelk.ZelkError, match=message):
                _zelk.decompress_to_bytes(archive, threads=threads)
            with pytest.raises(_zelk.ZelkError, match=message):
                list(_zelk.open(archive, threads=threads, streams="quality"))


def test_decompress_to_path(tmp_path):
    records = synthetic(100)
    archive = writer.write_archive(records, block_reads=9)
    dest = tmp_path / "out.fq"
    assert _zelk.decompress_to_path(archive, dest) == 100
    assert dest.read_bytes() == fastq_text(records)
    assert _zelk.decompress_to_path(archive, str(dest), fasta=True) == 100
    assert dest.read_bytes() == fasta_text(records)
    with pytest.raises(OSError, match=str(tmp_path / "missing" / "x")):
        _zelk.decompress_to_path(archive, tmp_path / "missing" / "x")
    # A file descriptor is written at its position (here: appended to) and
    # left open for its owner.
    dest.write_bytes(b"before\n")
    fd = os.open(dest, os.O_WRONLY | os.O_APPEND)
    try:
        assert _zelk.decompress_to_path(archive, fd) == 100
        os.write(fd, b"after\n")
    finally:
        os.close(fd)
    assert dest.read_bytes() == b"before\n" + fastq_text(records) + b"after\n"
    with pytest.raises(OSError, match="^file descriptor 1000000: Bad file descriptor"):
        _zelk.decompress_to_path(archive, 1000000)
    with pytest.raises(ValueError, match="^dest: -1 is not a file descriptor$"):
        _zelk.decompress_to_path(archive, -1)


def test_zero_reads_and_empty_fields():
    empty = writer.write_archive([])
    assert _zelk.decompress_to_bytes(empty) == b""
    records = [(b"", b"", b""), (b"x", b"A", b"I")]
    archive = writer.write_archive(records)
    assert _zelk.decompress_to_bytes(archive) == b"@\n\n+\n\n@x\nA\n+\nI\n"
    assert _zelk.decompress_to_bytes(archive, fasta=True) == b">\n\n>x\nA\n"


def test_corrupt_block_leaves_exactly_the_earlier_blocks(tmp_path):
    records = synthetic(60)
    archive = bytearray(writer.write_archive(records, block_reads=10))
    index = _zelk.open_index(bytes(archive))
    offset = index.groups()[3].block_offset
    archive[offset + 16 + 40] ^= 0xFF  # inside block 3's payload: its frame CRC fails
    dest = tmp_path / "partial.fq"
    for threads in (1, 2, 0):
        with pytest.raises(_zelk.ZelkError) as raised:
            _zelk.decompress_to_path(bytes(archive), dest, threads=threads)
        assert str(raised.value) == "corrupted zelk data: block 3 (crc mismatch)"
        assert dest.read_bytes() == fastq_text(records[:30])
    with pytest.raises(_zelk.ZelkError):
        _zelk.decompress_to_bytes(bytes(archive))


def test_bad_sync_marker_and_truncation():
    records = synthetic(30)
    archive = bytearray(writer.write_archive(records, block_reads=10))
    offset = _zelk.open_index(bytes(archive)).groups()[1].block_offset
    archive[offset] = ord("X")
    with pytest.raises(_zelk.ZelkError, match=r"^corrupted zelk data: block 1 \(bad sync marker\) \(crc mismatch\)$"):
        _zelk.decompress_to_bytes(bytes(archive))
    whole = writer.write_archive(records, block_reads=10)
    with pytest.raises(_zelk.ZelkError, match="^truncated zelk stream$"):
        _zelk.decompress_to_bytes(whole[: offset + 30])


def test_end_of_data_at_a_frame_boundary_is_truncation(tmp_path):
    # Lost blocks are never a success: every cut, at a frame boundary or
    # inside a frame, fails after the complete blocks before it.
    records = synthetic(40)
    archive = writer.write_archive(records, block_reads=10)
    offsets = [group.block_offset for group in _zelk.open_index(archive).groups()]
    footer = int.from_bytes(archive[-12:-4], "little")
    end_marker = footer - 12
    block_ends = offsets[1:] + [end_marker]
    for cut_at in block_ends + [offsets[2] + 7, end_marker + 5]:
        complete = sum(end <= cut_at for end in block_ends)
        cut = archive[:cut_at]
        with pytest.raises(_zelk.ZelkError, match="^truncated zelk stream$"):
            _zelk.decompress_to_bytes(cut)
        dest = tmp_path / "out.fastq"
        with pytest.raises(_zelk.ZelkError, match="^truncated zelk stream$"):
            _zelk.decompress_to_path(cut, dest, threads=2)
        assert dest.read_bytes() == fastq_text(records[: 10 * complete])
        reader = _zelk.open(cut)
        got = []
        with pytest.raises(_zelk.ZelkError, match="^truncated zelk stream$"):
            for record in reader:
                got.append(record.name)
        assert got == [name for name, _, _ in records[: 10 * complete]]


def test_file_like_sources():
    records = synthetic(40)
    archive = writer.write_archive(records, block_reads=7)
    expected = fastq_text(records)

    class ShortReads:
        def __init__(self, data):
            self.data, self.pos = data, 0

        def read(self, n):
            n = min(n, 5)
            chunk = self.data[self.pos: self.pos + n]
            self.pos += n
            return bytearray(chunk)

    assert _zelk.decompress_to_bytes(io.BytesIO(archive)) == expected
    assert _zelk.decompress_to_bytes(ShortReads(archive)) == expected
    read_fd, write_fd = os.pipe()
    feeder = threading.Thread(target=lambda: (os.write(write_fd, archive), os.close(write_fd)))
    feeder.start()
    with os.fdopen(read_fd, "rb") as pipe:
        assert _zelk.decompress_to_bytes(pipe) == expected
    feeder.join()


def test_file_like_read_errors_surface_as_os_error():
    class Text:
        def read(self, n):
            return "text"

    class Failing:
        def read(self, n):
            raise ValueError("boom")

    with pytest.raises(OSError, match="^file-like .read\\(\\) must return bytes$"):
        _zelk.decompress_to_bytes(Text())
    with pytest.raises(OSError, match="boom"):
        _zelk.decompress_to_bytes(Failing())


def test_reordered_layout_without_its_digest_section_ends_in_a_read_error():
    from archives import reordered

    with pytest.raises(OSError, match="failed to fill whole buffer"):
        _zelk.decompress_to_bytes(reordered([b"p", b"s", b""], [], []))
