"""The command-line tool, run as users run it: `python -m zelk` in a
subprocess, through files, pipes and a terminal."""

import bz2
import gzip
import lzma
import os
import pty
import select
import signal
import subprocess
import sys
import time

import pytest

import _zelk
import _zelk_writer as writer
import zelk
from conftest import SHARED_DATA

RECORDS = [(b"ST-E00493:56:H33MFALXX:4:1101:%d:1379 1:N:0:NACAACCA" % i, b"ACGTN" * 6, b"IIII#" * 6)
           for i in range(40)]


def fastq(records):
    return b"".join(b"@%s\n%s\n+\n%s\n" % record for record in records)


FASTQ = fastq(RECORDS)


def mates(count, mate):
    return [(b"HWI-D00523:240:HF3WGBCXX:1:1101:%d:2226 %d:N:0:CTGTAG" % (i, mate),
             b"ACGT"[i % 4:] + b"TTGCA" * 5, b"F" * (25 - i % 4) + b":#:#") for i in range(count)]


def run(*args, stdin=None, cwd=None):
    return subprocess.run([sys.executable, "-m", "zelk", *map(str, args)], input=stdin, capture_output=True,
                          cwd=cwd)


def listing(directory):
    """Every name in `directory`, temporary files included."""
    return sorted(os.listdir(directory))


def one_line(stderr):
    text = stderr.decode()
    assert text.count("\n") == 1 and "Traceback" not in text, text
    return text.rstrip("\n")


@pytest.fixture
def reads(tmp_path):
    path = tmp_path / "reads.fastq"
    path.write_bytes(FASTQ)
    return path


def test_compress_and_decompress_use_default_names_and_keep_inputs(reads, tmp_path):
    done = run("compress", reads)
    assert done.returncode == 0
    assert one_line(done.stderr) == f"zelk: 40 reads compressed into {reads}.zelk"
    assert reads.read_bytes() == FASTQ
    reads.rename(tmp_path / "original.fastq")
    assert run("decompress", "-q", f"{reads}.zelk").returncode == 0
    assert reads.read_bytes() == FASTQ
    assert listing(tmp_path) == ["original.fastq", "reads.fastq", "reads.fastq.zelk"]
    # --rm removes the input once the output is complete.
    archive = tmp_path / "again.zelk"
    assert run("compress", reads, "-o", archive, "--rm", "-q").returncode == 0
    assert not reads.exists()
    assert run("decompress", archive, "-o", reads, "--rm", "-q").returncode == 0
    assert reads.read_bytes() == FASTQ and not archive.exists()


def test_gzip_input_names_the_archive_without_gz(tmp_path):
    source = tmp_path / "lane.fq.gz"
    source.write_bytes(gzip.compress(FASTQ))
    assert run("compress", "-q", source).returncode == 0
    assert zelk.decompress_to_bytes(tmp_path / "lane.fq.zelk") == FASTQ
    assert run("decompress", "-q", tmp_path / "lane.fq.zelk").returncode == 0
    assert (tmp_path / "lane.fq").read_bytes() == FASTQ


@pytest.mark.parametrize("case", ["compress onto input", "compress onto link to input", "compress forced onto input",
                                  "decompress onto archive", "decompress onto link to archive",
                                  "existing output", "directory output"])
def test_refusals_leave_every_file_intact(tmp_path, case):
    source = tmp_path / "in.fq"
    source.write_bytes(FASTQ)
    archive = tmp_path / "in.zelk"
    assert run("compress", source, "-o", archive, "-f", "-q").returncode == 0
    (tmp_path / "link").symlink_to(source if case.startswith("compress") else archive)
    (tmp_path / "taken.fq").write_bytes(b"precious")
    (tmp_path / "dir").mkdir()
    command = {
        "compress onto input": ["compress", source, "-o", source],
        "compress onto link to input": ["compress", source, "-o", tmp_path / "link"],
        "compress forced onto input": ["compress", source, "-o", source, "-f"],
        "decompress onto archive": ["decompress", archive, "-o", archive, "-f"],
        "decompress onto link to archive": ["decompress", archive, "-o", tmp_path / "link", "-f"],
        "existing output": ["decompress", archive, "-o", tmp_path / "taken.fq"],
        "directory output": ["compress", source, "-o", tmp_path / "dir", "-f"],
    }[case]
    before = {name: (tmp_path / name).read_bytes() for name in ("in.fq", "in.zelk", "taken.fq")}
    done = run(*command)
    assert done.returncode == 1
    text = one_line(done.stderr)
    expected = {"existing output": "taken.fq: already exists; use -f to overwrite",
                "directory output": "dir: is a directory"}.get(case, "is the input file; refusing to write over it")
    assert text.endswith(expected)
    assert {name: (tmp_path / name).read_bytes() for name in before} == before
    assert listing(tmp_path) == ["dir", "in.fq", "in.zelk", "link", "taken.fq"]


def test_force_replaces_an_existing_output(reads, tmp_path):
    target = tmp_path / "out.fq"
    target.write_bytes(b"old")
    archive = tmp_path / "a.zelk"
    assert run("compress", "-q", reads, "-o", archive).returncode == 0
    assert run("decompress", "-q", archive, "-o", target, "-f").returncode == 0
    assert target.read_bytes() == FASTQ


def test_devices_are_written_in_place(reads):
    assert run("compress", "-q", reads, "-o", os.devnull).returncode == 0
    assert os.path.exists(os.devnull) and not os.path.isfile(os.devnull)


def broken_fastq(good_records):
    """Good records, then one whose '+' line is missing."""
    return fastq(RECORDS * good_records) + b"@bad\nACGT\nIIII\n@next\nA\n+\nI\n"


def test_a_failed_compress_leaves_no_archive(tmp_path):
    source = tmp_path / "broken.fq"
    source.write_bytes(broken_fastq(5))  # 200 good records: blocks were written before the fault
    done = run("compress", source, "--block-reads", "16", "-T", "1")
    assert done.returncode == 1
    assert one_line(done.stderr) == f"zelk: {source}: line 804, record 201: expected a '+' line, found a header line"
    assert listing(tmp_path) == ["broken.fq"]


def test_a_failed_decompress_leaves_no_output(tmp_path):
    archive = tmp_path / "damaged.zelk"
    data = bytearray(writer.write_archive(RECORDS * 10, block_reads=50))
    data[len(data) // 2] ^= 0xFF  # a block in the middle: earlier blocks decode
    archive.write_bytes(bytes(data))
    done = run("decompress", archive, "-o", tmp_path / "out.fq")
    assert done.returncode == 1
    assert one_line(done.stderr).startswith(f"zelk: {archive}: corrupted zelk data: block ")
    assert listing(tmp_path) == ["damaged.zelk"]


def wait_for_temporary(directory):
    """Waits until a command has opened its temporary output in `directory`."""
    while not any(name.endswith(".tmp") for name in os.listdir(directory)):
        time.sleep(0.01)


@pytest.mark.parametrize("command", ["compress", "decompress"])
def test_interrupt_removes_the_partial_output(tmp_path, command):
    # Standard input is a pipe the test holds open, so the command is
    # mid-way when the signal comes; closing the pipe lets it notice.
    data = fastq(RECORDS * 200) if command == "compress" else writer.write_archive(RECORDS * 200,
                                                                                              block_reads=40)
    target = tmp_path / "out"
    process = subprocess.Popen([sys.executable, "-m", "zelk", command, "-", "-o", target, "--block-reads", "40"]
                               if command == "compress" else
                               [sys.executable, "-m", "zelk", command, "-", "-o", target],
                               stdin=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path)
    process.stdin.write(data[: len(data) // 2])
    process.stdin.flush()
    wait_for_temporary(tmp_path)
    process.send_signal(signal.SIGINT)
    process.stdin.close()
    stderr = process.stderr.read()
    assert process.wait() == 130
    assert b"Traceback" not in stderr
    assert listing(tmp_path) == []


def test_dash_means_standard_input_and_output_in_a_pipeline(tmp_path):
    compress = subprocess.Popen([sys.executable, "-m", "zelk", "compress", "-q", "-"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE)
    decompress = subprocess.Popen([sys.executable, "-m", "zelk", "decompress", "-", "-o", "-"],
                                  stdin=compress.stdout, stdout=subprocess.PIPE)
    compress.stdout.close()
    compress.stdin.write(FASTQ * 50)
    compress.stdin.close()
    assert decompress.stdout.read() == FASTQ * 50
    assert compress.wait() == 0 and decompress.wait() == 0
    archive = run("compress", "-c", "-q", stdin=gzip.compress(FASTQ)).stdout
    assert run("cat", "-", stdin=archive).stdout == FASTQ
    assert run("decompress", "-c", "--fasta", "-", stdin=archive).stdout == b"".join(
        b">%s\n%s\n" % (name, sequence) for name, sequence, _ in RECORDS)
    assert listing(tmp_path) == []


def test_inspect_verify_and_estimate_read_standard_input(tmp_path):
    archive = writer.write_archive(RECORDS, block_reads=16)
    assert 'Info(reads=40, blocks=3, format=1.0, platform="Illumina")' in run("inspect", "-", stdin=archive).stdout.decode()
    assert run("verify", "-", stdin=archive).stdout == b"-: ok\n"
    rows = run("estimate", "-", stdin=FASTQ).stdout.decode().splitlines()
    assert rows[1].split()[:3] == ["-", "illumina", "40"]


def write_pair(tmp_path, count, extension=".fastq"):
    r1, r2 = tmp_path / f"s_R1{extension}", tmp_path / f"s_R2{extension}"
    r1.write_bytes(fastq(mates(count, 1)))
    r2.write_bytes(fastq(mates(count, 2)))
    return r1, r2


def test_paired_files_round_trip_byte_for_byte(tmp_path):
    r1, r2 = write_pair(tmp_path, 300)
    archive = tmp_path / "pair.zelk"
    assert run("compress", "-q", r1, r2, "-o", archive, "--block-reads", "50").returncode == 0
    info = _zelk.inspect(archive)
    assert (info.reads, info.group_size, info.member_labels) == (600, 2, ["R1", "R2"])
    names = [record.name for record in zelk.open(archive)]
    assert names[:2] == [mates(1, 1)[0][0], mates(1, 2)[0][0]]  # interleaved R1, R2, R1, ...
    done = run("decompress", archive, "--split")
    assert one_line(done.stderr) == f"zelk: 600 reads written to {tmp_path}/pair_R1.fastq, {tmp_path}/pair_R2.fastq"
    assert (tmp_path / "pair_R1.fastq").read_bytes() == r1.read_bytes()
    assert (tmp_path / "pair_R2.fastq").read_bytes() == r2.read_bytes()


@pytest.mark.parametrize("pair", [("hiseq2500_seqkit_R1.fastq", "hiseq2500_seqkit_R2.fastq"),
                                  ("gaiix_shortread_ERR127302_R1.fastq", "gaiix_shortread_ERR127302_R2.fastq")])
def test_real_pairs_round_trip_byte_for_byte(tmp_path, pair):
    paths = [SHARED_DATA / "illumina" / name for name in pair]
    if not all(path.exists() for path in paths):
        pytest.skip("shared data not available")
    gzipped = []
    for path in paths:  # gzip input on the way in, as sequencers deliver it
        gzipped.append(tmp_path / (path.name + ".gz"))
        gzipped[-1].write_bytes(gzip.compress(path.read_bytes(), compresslevel=1))
    assert run("compress", "-q", *gzipped, "-o", tmp_path / "pair.zelk").returncode == 0
    assert run("decompress", "-q", tmp_path / "pair.zelk", "--split", "-o", tmp_path / "back").returncode == 0
    for path, label in zip(paths, ("R1", "R2")):
        assert (tmp_path / f"back_{label}.fastq").read_bytes() == path.read_bytes()


def test_split_names_files_only_with_plain_labels(tmp_path):
    # Labels come from the archive: one that looks like a path names no file.
    archive = tmp_path / "odd.zelk"
    archive.write_bytes(writer.write_archive(mates(2, 1), members=2, labels=["../up", "R2"]))
    assert run("decompress", "-q", archive, "--split").returncode == 0
    assert listing(tmp_path) == ["odd.zelk", "odd_1.fastq", "odd_R2.fastq"]


def test_mates_must_hold_as_many_records(tmp_path):
    r1, r2 = write_pair(tmp_path, 30)
    r2.write_bytes(fastq(mates(29, 2)))
    done = run("compress", r1, r2, "-o", tmp_path / "pair.zelk")
    assert done.returncode == 1
    assert one_line(done.stderr) == f"zelk: {r2}: ends after 29 records, before {r1}"
    assert listing(tmp_path) == ["s_R1.fastq", "s_R2.fastq"]


@pytest.mark.parametrize("content, text", [
    (b"@a\nACGT\n+\nIII\n", "line 4, record 1: invalid FASTQ: sequence length 4 but quality length 3 (must be equal)"),
    (FASTQ + b"@a\nACGT\n", "line 162, record 41: FASTQ record ends before its '+' line"),
    (FASTQ + b"ACGT\n+\nIIII\n", "line 161, record 41: invalid name prefix"),
    (b">r1\nACGT\n", "FASTA, not FASTQ (an archive needs qualities)"),
    (gzip.compress(b">r1\nACGT\n"), "gzip-compressed FASTA, not FASTQ (an archive needs qualities)"),
    (bz2.compress(FASTQ), "bzip2-compressed; zelk reads plain, gzip or BGZF FASTQ (decompress it first)"),
    (lzma.compress(FASTQ), "xz-compressed; zelk reads plain, gzip or BGZF FASTQ (decompress it first)"),
    (b"\x28\xb5\x2f\xfd" + bytes(20), "zstd-compressed; zelk reads plain, gzip or BGZF FASTQ (decompress it first)"),
    (writer.write_archive(RECORDS), "a zelk archive, not FASTQ (use zelk decompress)"),
])
def test_bad_input_is_refused_with_path_and_place(tmp_path, content, text):
    source = tmp_path / "input.fq"
    source.write_bytes(content)
    done = run("compress", source)
    assert done.returncode == 1
    assert one_line(done.stderr) == f"zelk: {source}: {text}"
    assert listing(tmp_path) == ["input.fq"]
    assert source.read_bytes() == content


def test_estimate_errors_name_file_line_and_record(tmp_path):
    source = tmp_path / "short.fq"
    source.write_bytes(FASTQ + b"@a\nACGT\nIIII\n")
    done = run("estimate", source)
    assert done.returncode == 1
    assert one_line(done.stderr) == f"zelk: {source}: line 163, record 41: invalid description prefix"
    done = run("estimate", tmp_path / "missing.fq")
    assert one_line(done.stderr) == f"zelk: {tmp_path}/missing.fq: No such file or directory"


def test_wrapped_and_crlf_fastq_are_normalised_to_four_line_records(tmp_path):
    wrapped = b"".join(b"@%s\r\n%s\r\n%s\r\n+%s\r\n%s\r\n%s\r\n" % (name, seq[:7], seq[7:], name, qual[:7], qual[7:])
                       for name, seq, qual in RECORDS)
    source = tmp_path / "wrapped.fq"
    source.write_bytes(wrapped)
    assert run("compress", "-q", source, "-o", tmp_path / "w.zelk").returncode == 0
    assert run("cat", tmp_path / "w.zelk").stdout == FASTQ
    assert _zelk.inspect(tmp_path / "w.zelk").plus_normalized


def test_usage_errors_and_warnings_have_gzip_statuses(reads, tmp_path):
    done = run("compress", reads, "--threads", "-1")
    assert done.returncode == 1 and b"Traceback" not in done.stderr
    assert b"argument -T/--threads: must be 0 or more, not -1" in done.stderr
    assert b"must be 1 to 9, not 10" in run("compress", reads, "-l", "10").stderr
    done = run("compress", reads, reads)
    assert one_line(done.stderr) == "zelk: several inputs make one archive: name it with -o (or -c)"
    # An archive without the suffix is skipped with a warning (status 2);
    # an error elsewhere in the same run makes it 1.
    (tmp_path / "archive.bin").write_bytes(writer.write_archive(RECORDS))
    done = run("decompress", tmp_path / "archive.bin")
    assert done.returncode == 2
    assert one_line(done.stderr).endswith("archive.bin: unknown suffix (expected .zelk) -- ignored; "
                                          "name the output with -o or -c")
    assert run("decompress", tmp_path / "archive.bin", tmp_path / "missing.zelk").returncode == 1
    assert run("--version").stdout.decode() == f"zelk {zelk.__version__}\n"


def test_verify_reports_failures_on_stderr(tmp_path):
    good, bad = tmp_path / "good.zelk", tmp_path / "bad.zelk"
    data = writer.write_archive(RECORDS, block_reads=16)
    good.write_bytes(data)
    bad.write_bytes(data[:60] + bytes([data[60] ^ 1]) + data[61:])
    done = run("verify", good, bad)
    assert done.returncode == 1
    assert done.stdout.decode() == f"{good}: ok\n"
    assert one_line(done.stderr) == (f"zelk: {bad}: corrupted zelk data: archive (whole-file crc) (crc mismatch)")
    assert one_line(run("inspect", tmp_path / "missing.zelk").stderr) == (
        f"zelk: {tmp_path}/missing.zelk: No such file or directory")
    (tmp_path / "text.zelk").write_bytes(FASTQ)
    assert one_line(run("verify", tmp_path / "text.zelk").stderr).endswith("text.zelk: not a zelk archive (bad magic)")


def run_on_terminal(*args):
    """Runs the command with standard error on a terminal; returns its
    status and what the terminal showed."""
    controller, terminal = pty.openpty()
    process = subprocess.Popen([sys.executable, "-m", "zelk", *map(str, args)], stderr=terminal,
                               stdout=subprocess.DEVNULL)
    os.close(terminal)
    shown = b""
    while True:
        ready, _, _ = select.select([controller], [], [], 60)
        try:
            chunk = os.read(controller, 4096) if ready else b""
        except OSError:  # the terminal closed with the process
            chunk = b""
        if not chunk:
            break
        shown += chunk
    os.close(controller)
    return process.wait(), shown.decode()


def test_progress_shows_on_a_terminal_only(tmp_path):
    source = tmp_path / "many.fq"
    source.write_bytes(FASTQ * 250)  # 10000 reads
    status, shown = run_on_terminal("compress", source, "--block-reads", "1000", "-T", "1")
    assert status == 0
    assert "compress: 1,000 reads, " in shown and " MB/s" in shown
    assert shown.rstrip().endswith("10000 reads compressed into " + f"{source}.zelk")
    status, shown = run_on_terminal("decompress", f"{source}.zelk", "-o", tmp_path / "back.fq")
    assert status == 0 and "decompress: 4,096 reads, " in shown and "left" in shown
    status, shown = run_on_terminal("estimate", source)
    assert status == 0 and "estimate: 10,000 reads" in shown
    status, shown = run_on_terminal("compress", "-q", source, "-o", tmp_path / "quiet.zelk")
    assert (status, shown) == (0, "")
    # Off the terminal there is no progress, only the summary line.
    assert one_line(run("compress", source, "-o", tmp_path / "piped.zelk").stderr).endswith("piped.zelk")


def test_archive_data_is_not_written_to_a_terminal(reads):
    controller, terminal = pty.openpty()
    done = subprocess.run([sys.executable, "-m", "zelk", "compress", "-c", str(reads)], stdout=terminal,
                          stderr=subprocess.PIPE)
    os.close(terminal)
    os.close(controller)
    assert done.returncode == 1
    assert one_line(done.stderr) == "zelk: refusing to write archive data to a terminal (use -o, redirect, or -f)"


def test_compress_estimate_estimates_the_mates_together(tmp_path):
    r1, r2 = write_pair(tmp_path, 100)
    rows = run("compress", r1, r2, "--estimate").stdout.decode().splitlines()
    assert rows[1].split()[:5] == [str(r1), "+", str(r2), "illumina", "200"]
    assert listing(tmp_path) == ["s_R1.fastq", "s_R2.fastq"]


def test_fast_and_best_are_levels_1_and_9(shared_fastq, tmp_path):
    source = tmp_path / "reads.fastq"
    source.write_bytes(b"".join(b"@%s\n%s\n+\n%s\n" % r for r in shared_fastq("illumina/nextseq_dropseq_10cells.fastq",
                                                                               limit=4000)))
    made = {}
    for flags in (["--fast"], ["-l", "1"], ["--best"], ["-l", "9"]):
        target = tmp_path / ("-".join(flags) + ".zelk")
        assert run("compress", "-q", source, "-o", target, *flags).returncode == 0
        made[" ".join(flags)] = target.read_bytes()
    assert made["--fast"] == made["-l 1"] and made["--best"] == made["-l 9"]
    assert len(made["--best"]) < len(made["--fast"])
    clash = run("compress", source, "--fast", "--best")
    assert clash.returncode == 1 and b"not allowed with argument" in clash.stderr
