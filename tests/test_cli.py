import gzip
import subprocess
import sys

import pytest

import _zelk
import _zelk_writer as writer
from zelk.__main__ import main

RECORDS = [(b"ST-E00493:56:H33MFALXX:4:1101:%d:1379 1:N:0:NACAACCA" % i, b"ACGTN" * 6, b"IIII#" * 6)
           for i in range(40)]
FASTQ = b"".join(b"@%s\n%s\n+\n%s\n" % r for r in RECORDS)


@pytest.fixture
def archive(tmp_path):
    path = tmp_path / "reads.zelk"
    path.write_bytes(writer.write_archive(RECORDS, block_reads=16))
    return path


def test_compress_then_decompress_round_trips(tmp_path, capsys):
    source = tmp_path / "in.fq.gz"
    source.write_bytes(gzip.compress(FASTQ))
    archive = tmp_path / "out.zelk"
    assert main(["compress", str(source), "-o", str(archive), "--block-reads", "10"]) == 0
    assert _zelk.inspect(archive).blocks == 4
    out = tmp_path / "out.fq"
    assert main(["decompress", str(archive), "-o", str(out), "--threads", "1"]) == 0
    assert out.read_bytes() == FASTQ
    assert "40 reads written" in capsys.readouterr().err


def test_compress_with_reorder_writes_the_reordered_layout(tmp_path):
    source = tmp_path / "in.fq.gz"
    source.write_bytes(gzip.compress(FASTQ))
    archive = tmp_path / "out.zelk"
    assert main(["compress", str(source), "-o", str(archive), "--reorder"]) == 0
    info = _zelk.inspect(archive)
    assert info.reordered and info.keep_order and info.whole_file_crc is None
    assert _zelk.decompress_to_bytes(archive) == FASTQ


def test_decompress_and_cat_to_stdout(archive):
    fasta = subprocess.run([sys.executable, "-m", "zelk", "decompress", str(archive), "--fasta"],
                           capture_output=True, check=True).stdout
    assert fasta == b"".join(b">%s\n%s\n" % (n, s) for n, s, _ in RECORDS)
    with open(archive, "rb") as stdin:
        streamed = subprocess.run([sys.executable, "-m", "zelk", "cat", "-"], stdin=stdin,
                                  capture_output=True, check=True).stdout
    assert streamed == FASTQ


def test_inspect_and_verify(archive, tmp_path, capsys):
    assert main(["inspect", str(archive)]) == 0
    out = capsys.readouterr().out
    assert 'Info(reads=40, blocks=3, format=1.0, platform="Illumina")' in out
    damaged = tmp_path / "bad.zelk"
    data = bytearray(archive.read_bytes())
    data[60] ^= 1
    damaged.write_bytes(bytes(data))
    assert main(["verify", str(archive), str(damaged)]) == 1
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == f"{archive}: ok"
    assert lines[1] == f"{damaged}: FAILED: corrupted zelk data: archive (whole-file crc) (crc mismatch)"


def test_estimate_table(tmp_path, capsys):
    source = tmp_path / "in.fq"
    source.write_bytes(FASTQ)
    assert main(["estimate", str(source), "--sample-reads", "10"]) == 0
    header, row, footnote = capsys.readouterr().out.splitlines()
    assert header.split()[:3] == ["file", "platform", "reads"]
    assert row.split()[1:3] == ["illumina", "10+"]
    assert footnote.startswith("(+:")


def test_errors_go_to_stderr_with_status_1(tmp_path, capsys):
    assert main(["inspect", str(tmp_path / "missing.zelk")]) == 1
    assert "missing.zelk: No such file or directory" in capsys.readouterr().err
