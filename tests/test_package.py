"""The `zelk` package's own API: compress, Writer, the safe
decompress_to_path, and the types a user's type checker sees."""

import gzip
import io
import os
import random
import subprocess
import sys
import textwrap

import pytest

import _zelk
import _zelk_writer
import zelk
from conftest import SHARED_DATA, read_fastq

RECORDS = [(b"M02273:28:000000000-ADV3A:1:2108:%d:16197 1:N:0:52" % i, b"ACGT" * (5 + i % 7), b"I#F:" * (5 + i % 7))
           for i in range(100)]


def fastq(records, plus=b""):
    return b"".join(b"@%s\n%s\n+%s\n%s\n" % (name, sequence, plus and name, quality)
                    for name, sequence, quality in records)


def decoded(archive):
    return [(record.name, record.sequence, record.quality) for record in zelk.open(archive)]


def wrap(text, width):
    return b"\n".join(text[i:i + width] for i in range(0, len(text), width)) or b""


def test_the_old_top_level_names_are_the_package_modules():
    assert _zelk is zelk._zelk and _zelk_writer is zelk._zelk_writer
    assert zelk.parse_index_suffix is _zelk.parse_index_suffix and zelk.ZelkError is _zelk.ZelkError


def test_writer_takes_str_and_bytes_and_appears_only_when_complete(tmp_path):
    dest = tmp_path / "out.zelk"
    with zelk.Writer(dest, block_reads=7, members=2, labels=["R1", "R2"]) as writer:
        writer.write("read0", "ACGT", "IIII")
        writer.write(b"read1", b"AC", b"#I")
        writer.write_records((name.decode(), sequence, quality) for name, sequence, quality in RECORDS[:20])
        assert not dest.exists()  # still under its temporary name
        assert writer.reads == 22
    assert decoded(dest) == [(b"read0", b"ACGT", b"IIII"), (b"read1", b"AC", b"#I")] + RECORDS[:20]
    info = zelk.inspect(dest)
    assert (info.group_size, info.member_labels, info.blocks) == (2, ["R1", "R2"], 4)
    assert os.listdir(tmp_path) == ["out.zelk"]


def test_writer_streams_blocks_to_a_file_object_as_they_fill():
    out = io.BytesIO()
    writer = zelk.Writer(out, block_reads=10, threads=1)
    writer.write_records(RECORDS[:9])
    assert out.getvalue() == b""  # the first block is not full yet
    writer.write_records(RECORDS[9:55])
    streamed = out.getvalue()
    assert streamed.startswith(b"ZELK") and len(streamed) > 0
    writer.close()
    assert out.getvalue().startswith(streamed) and not out.closed
    zelk.verify(out.getvalue())
    assert decoded(out.getvalue()) == RECORDS[:55]
    with pytest.raises(ValueError, match="ArchiveStream is finished"):
        writer._stream.add("late", "A", "I")


@pytest.mark.parametrize("failure", [RuntimeError("caller gave up"), KeyboardInterrupt()])
def test_a_writer_left_by_an_exception_leaves_nothing(tmp_path, failure):
    with pytest.raises(type(failure)):
        with zelk.Writer(tmp_path / "out.zelk", block_reads=5) as writer:
            writer.write_records(RECORDS)  # whole blocks were written to the temporary file
            raise failure
    assert os.listdir(tmp_path) == []
    with pytest.raises(ValueError, match="sequence length 4 but quality length 3"):
        with zelk.Writer(tmp_path / "out.zelk") as writer:
            writer.write("r", "ACGT", "III")
    assert os.listdir(tmp_path) == []


def test_existing_destinations_need_overwrite(tmp_path):
    dest = tmp_path / "taken.zelk"
    dest.write_bytes(b"keep me")
    with pytest.raises(FileExistsError):
        zelk.Writer(dest)
    with pytest.raises(FileExistsError):
        zelk.compress(fastq(RECORDS), dest)
    assert dest.read_bytes() == b"keep me"
    assert zelk.compress(fastq(RECORDS), dest, overwrite=True) == 100
    assert decoded(dest) == RECORDS


def test_parallel_encoding_is_byte_for_byte_the_serial_encoding():
    rng = random.Random(5)
    contig = bytes(rng.choice(b"ACGT") for _ in range(3000))
    from_contig = [(b"c%d" % i, contig[start:start + 80], b"F" * 80)
                   for i, start in enumerate(rng.randrange(2900) for _ in range(200))]
    cases = [(RECORDS * 7, {"block_reads": 60}),
             (from_contig, {"block_reads": 30, "sequence_method": 3, "reference": [contig]})]
    long_reads = SHARED_DATA / "ont" / "dna_qcat_barcode_1k.fastq"
    if long_reads.exists():
        cases.append((read_fastq(long_reads, 300), {"block_reads": 40}))
    for records, options in cases:
        serial = _zelk_writer.write_archive(records, threads=1, **options)
        for threads in (0, 2, 5):
            assert _zelk_writer.write_archive(records, threads=threads, **options) == serial
        assert decoded(serial) == records


def test_levels_choose_the_codecs_and_all_round_trip():
    text = fastq(RECORDS * 5)
    archives = {}
    for level in (1, 3, 5, 9):
        out = io.BytesIO()
        zelk.compress(text, out, level=level)
        archives[level] = out.getvalue()
        assert zelk.decompress_to_bytes(archives[level]) == text
    assert archives[1] == archives[3] != archives[5] == archives[9]
    with pytest.raises(ValueError, match="^level must be 1 to 9, not 0$"):
        zelk.Writer(io.BytesIO(), level=0)


def test_compress_reads_every_kind_of_source_to_the_same_archive(tmp_path):
    text = fastq(RECORDS)
    (tmp_path / "plain.fq").write_bytes(text)
    (tmp_path / "packed.fq.gz").write_bytes(gzip.compress(text))
    half = len(text) // 2  # BGZF: gzip members one after another, the last one empty
    members = gzip.compress(text[:half]) + gzip.compress(text[half:]) + gzip.compress(b"")
    archives = []
    with open(tmp_path / "plain.fq", "rb") as handle:
        for source in (tmp_path / "plain.fq", str(tmp_path / "packed.fq.gz"), members, text, io.BytesIO(text),
                       handle):
            out = io.BytesIO()
            assert zelk.compress(source, out, block_reads=30, threads=1) == 100
            archives.append(out.getvalue())
    assert all(archive == archives[0] for archive in archives)
    assert decoded(archives[0]) == RECORDS


def test_compress_reports_progress_through_the_whole_input(tmp_path):
    source = tmp_path / "in.fq"
    source.write_bytes(fastq(RECORDS * 10))
    seen = []
    zelk.compress(source, tmp_path / "out.zelk", block_reads=100, threads=1,
                  progress=lambda reads, done: seen.append((reads, done)))
    assert [reads for reads, _ in seen] == list(range(100, 1001, 100))[: len(seen)]
    assert seen[-1][1] == source.stat().st_size and len(seen) >= 9


def test_mates_are_interleaved_and_labelled_from_their_names(tmp_path):
    r1 = [(b"pair%d/1" % i, b"ACGTA", b"IIIII") for i in range(30)]
    r2 = [(b"pair%d/2" % i, b"TTGCA", b"#####") for i in range(30)]
    paths = [tmp_path / "ERR127302_1.fastq.gz", tmp_path / "ERR127302_2.fastq.gz"]
    for path, records in zip(paths, (r1, r2)):
        path.write_bytes(gzip.compress(fastq(records)))
    dest = tmp_path / "pair.zelk"
    assert zelk.compress(paths, dest, block_reads=10) == 60
    info = zelk.inspect(dest)
    assert (info.group_size, info.member_labels, info.blocks) == (2, ["1", "2"], 6)
    assert decoded(dest) == [record for pair in zip(r1, r2) for record in pair]
    out = io.BytesIO()
    zelk.compress((fastq(r1), fastq(r2)), out, labels=[b"fwd", "rev"])
    assert zelk.inspect(out.getvalue()).member_labels == ["fwd", "rev"]
    with pytest.raises(ValueError, match=r"^input: more records than input \(30\)$"):
        zelk.compress([fastq(r1), fastq(r2 + r2[:1])], io.BytesIO())


@pytest.mark.parametrize("names, labels", [
    (["s_S1_L001_R1_001.fastq.gz", "s_S1_L001_R2_001.fastq.gz"], ["R1", "R2"]),
    (["lane/x_1.fq", "lane/x_2.fq"], ["1", "2"]),
    (["R1.fq", "R2.fq", "I1.fq"], ["R1", "R2", "I1"]),
    (["a/reads.fq", "b/reads.fq"], ["1", "2"]),  # same names: numbered
    (["x_" + "a" * 16 + ".fq", "x_" + "b" * 16 + ".fq"], ["1", "2"]),  # too long for a label
])
def test_mate_labels(names, labels):
    assert zelk._writer.mate_labels(names) == labels


def test_plus_normalized_records_dropped_plus_text():
    repeated = io.BytesIO()
    zelk.compress(fastq(RECORDS, plus=b"x"), repeated)
    assert zelk.inspect(repeated.getvalue()).plus_normalized
    assert zelk.decompress_to_bytes(repeated.getvalue()) == fastq(RECORDS)
    bare = io.BytesIO()
    zelk.compress(fastq(RECORDS), bare)
    assert not zelk.inspect(bare.getvalue()).plus_normalized


def test_wrapped_crlf_long_reads_come_back_as_four_line_records(tmp_path):
    path = SHARED_DATA / "ont" / "dna_qcat_barcode_1k.fastq"
    if not path.exists():
        pytest.skip("shared data not available")
    original = path.read_bytes()
    lines = original.split(b"\n")
    wrapped = b"".join(b"%s\r\n%s\r\n+\r\n%s\r\n" % (lines[i], wrap(lines[i + 1], 60).replace(b"\n", b"\r\n"),
                                                   wrap(lines[i + 3], 60).replace(b"\n", b"\r\n"))
                       for i in range(0, len(lines) - 1, 4))
    out = io.BytesIO()
    assert zelk.compress(wrapped, out) == original.count(b"\n") // 4
    assert zelk.decompress_to_bytes(out.getvalue()) == original


@pytest.mark.parametrize("text, error, message", [
    (b"@a\nAC\n+\nII\n@b\nACGT\nIIII\n@c\n", OSError, "line 8, record 2: expected a '+' line, found a header line"),
    # A short quality line mid-file takes the next header as more quality.
    (b"@a\nACGT\n+\nIIII\n@b\nACGT\n+\nIII\n@c\nA\n+\nI\n", ValueError,
     "line 9, record 2: invalid FASTQ: sequence length 4 but quality length 5 (must be equal)"),
    (b"@a\nACGT\n+\nIIII\n@b\nACGT\n+\nII\n", OSError,
     "line 8, record 2: invalid FASTQ: sequence length 4 but quality length 2 (must be equal)"),
    (b"@a\nACGT\n+\nIIII\nb\n", OSError, "line 5, record 2: invalid name prefix"),
])
def test_fastq_errors_name_line_and_record(tmp_path, text, error, message):
    with pytest.raises(error) as raised:
        zelk.compress(text, io.BytesIO())
    assert str(raised.value) == message
    source = tmp_path / "in.fq"
    source.write_bytes(text)
    with pytest.raises(error) as raised:
        zelk.compress(source, tmp_path / "out.zelk")
    assert str(raised.value) == f"{source}: {message}"
    assert os.listdir(tmp_path) == ["in.fq"]


def test_four_line_fastq_input_reads_like_the_estimate():
    text = b"@a\nACGT\n+\nIIII\n@b\nAC\nGT\n+\nIIII\n"
    with pytest.raises(OSError, match=r"^line 7, record 2: invalid description prefix$"):
        list(_zelk_writer.FastqInput(text, wrapped=False))
    assert list(_zelk_writer.FastqInput(text)) == [(b"a", b"ACGT", b"IIII"), (b"b", b"ACGT", b"IIII")]


def test_decompress_to_path_never_loses_or_half_writes_a_file(tmp_path):
    archive = tmp_path / "a.zelk"
    archive.write_bytes(_zelk_writer.write_archive(RECORDS, block_reads=20))
    dest = tmp_path / "a.fq"
    assert zelk.decompress_to_path(archive, dest) == 100
    assert dest.read_bytes() == fastq(RECORDS)
    with pytest.raises(FileExistsError):
        zelk.decompress_to_path(archive, dest)
    assert zelk.decompress_to_path(archive, dest, overwrite=True, fasta=True) == 100
    assert dest.read_bytes().startswith(b">")
    (tmp_path / "link").symlink_to(archive)
    with open(archive, "rb") as handle:
        for source, target in ((archive, archive), (archive, tmp_path / "link"), (handle, archive)):
            with pytest.raises(ValueError, match="is the input file"):
                zelk.decompress_to_path(source, target, overwrite=True)
    damaged = bytearray(archive.read_bytes())
    damaged[len(damaged) // 2] ^= 0xFF
    with pytest.raises(zelk.ZelkError):
        zelk.decompress_to_path(bytes(damaged), tmp_path / "b.fq")
    assert sorted(os.listdir(tmp_path)) == ["a.fq", "a.zelk", "link"]
    assert zelk.decompress_to_path(archive, os.devnull) == 100
    # A link is written through: the file it names is replaced, it stays.
    (tmp_path / "alias").symlink_to(dest)
    assert zelk.decompress_to_path(archive, tmp_path / "alias", overwrite=True) == 100
    assert (tmp_path / "alias").is_symlink() and dest.read_bytes() == fastq(RECORDS)


USER_SCRIPT = """
    import io
    from typing import Iterator, Tuple

    import zelk


    def records() -> Iterator[Tuple[str, bytes, str]]:
        yield "read1", b"ACGT", "IIII"


    with zelk.Writer("out.zelk", level=9, threads=2, labels=["R1"]) as writer:
        writer.write(b"read0", "ACGT", "IIII")
        writer.write_records(records())
    reads: int = zelk.compress(["r1.fq.gz", "r2.fq.gz"], io.BytesIO(), progress=lambda n, done: None)
    info = zelk.inspect("out.zelk")
    labels: list[str] = info.member_labels
    for record in zelk.open("out.zelk", streams=["names"]):
        name: bytes = record.name
    count: int = zelk.decompress_to_path("out.zelk", "out.fq", overwrite=True)
    ratio: float = zelk.estimate(["r1.fq.gz", "r2.fq.gz"]).ratio
    version: str = zelk.__version__
"""

MISTAKES = """
    import zelk

    zelk.Writer("out.zelk").write("read", 42, "I")
    size: str = zelk.inspect("out.zelk").reads
"""


def test_mypy_strict_accepts_a_user_script_and_catches_mistakes(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "good.py").write_text(textwrap.dedent(USER_SCRIPT))
    (tmp_path / "bad.py").write_text(textwrap.dedent(MISTAKES))
    package_root = os.path.dirname(os.path.dirname(zelk.__file__))
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                           "good.py", "bad.py"], cwd=tmp_path, capture_output=True, text=True,
                          env={**os.environ, "MYPYPATH": package_root})
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert [line.split(":")[:2] for line in errors] == [["bad.py", "4"], ["bad.py", "5"]], done.stdout
