"""The decode ceiling: bytes one coded stream of one block may expand to."""
import os
import pathlib
import subprocess
import sys

import pytest

import _zelk
import _zelk_writer as writer

FINDINGS = pathlib.Path(__file__).resolve().parent / "findings"


def test_quality_bomb_from_the_fuzzer_is_refused_before_allocating():
    archive = (FINDINGS / "decode-archive-16gb-quality.zelk").read_bytes()
    # The block decoder runs the quality stream beside a names stream that
    # fails first; the quality stream alone shows the refusal.
    start, end = _zelk.open_index(archive).stream_range(0, "quality")
    with pytest.raises(_zelk.ZelkError, match=r"^malformed fqzcomp stream: declared quality length of 16301154723 "
                                              r"bytes exceeds the decode limit of 4294967296 bytes$"):
        _zelk.decode_qualities_bytes(archive[start:end])
    with pytest.raises(_zelk.ZelkError):
        _zelk.read_block(archive, 0)


def run_with_limit(limit, code):
    env = dict(os.environ, ZELK_DECODE_LIMIT=limit)
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)


@pytest.mark.skipif("ZELK_SANITIZED" in os.environ, reason="child interpreters lack the preloaded runtime")
def test_limit_from_the_environment_applies_to_every_stream(tmp_path):
    reads = [(b"read%05d" % i, b"ACGT" * 10, b"I" * 40) for i in range(100)]  # 4000 bases, ~900 name bytes
    archive = tmp_path / "a.zelk"
    archive.write_bytes(writer.write_archive(reads))
    code = f"""
import _zelk
for streams in ("sequence", "quality", "names"):
    try:
        list(_zelk.open({str(archive)!r}, streams=streams))
    except _zelk.ZelkError as error:
        print(error)
"""
    lines = run_with_limit("800", code).stdout.splitlines()
    assert lines == [
        "malformed sequence stream: declared sequence length of 4000 bytes exceeds the decode limit of 800 bytes",
        "malformed fqzcomp stream: declared quality length of 4000 bytes exceeds the decode limit of 800 bytes",
        "malformed name stream: decoded names length of 801 bytes exceeds the decode limit of 800 bytes",
    ]
    assert run_with_limit("4000", code).stdout == ""


@pytest.mark.skipif("ZELK_SANITIZED" in os.environ, reason="child interpreters lack the preloaded runtime")
def test_shared_read_length_lists_are_held_to_the_limit(tmp_path):
    # 100000 empty reads: no bases and no qualities, but a 400000-byte list
    # of lengths declared in a few bytes.
    streams = tmp_path / "streams"
    streams.write_bytes(repr((writer.encode_sequences([b""] * 100_000),
                              writer.encode_qualities([b""] * 100_000))).encode())
    code = f"""
import ast, _zelk
sequences, qualities = ast.literal_eval(open({str(streams)!r}).read())
for decode, stream in ((_zelk.decode_sequences_bytes, sequences), (_zelk.decode_qualities_bytes, qualities)):
    try:
        print(len(decode(stream)))
    except _zelk.ZelkError as error:
        print(error)
"""
    assert run_with_limit("399999", code).stdout.splitlines() == [
        "malformed sequence stream: declared read-length list of 400000 bytes exceeds the decode limit of 399999 bytes",
        "malformed fqzcomp stream: declared read-length list of 400000 bytes exceeds the decode limit of 399999 bytes",
    ]
    assert run_with_limit("400000", code).stdout.splitlines() == ["100000", "100000"]


@pytest.mark.skipif("ZELK_SANITIZED" in os.environ, reason="child interpreters lack the preloaded runtime")
def test_names_sub_streams_from_the_fuzzer_are_refused_from_their_declared_lengths():
    # 6.5 kB whose rANS sub-streams declare 385 MB between them; the first
    # alone is over the ceiling, so nothing is decoded.
    stream = FINDINGS / "names-385mb-sub-streams.bin"
    code = f"""
import _zelk
try:
    _zelk.decode_names_bytes(open({str(stream)!r}, "rb").read())
except _zelk.ZelkError as error:
    print(error)
"""
    assert run_with_limit("1048576", code).stdout == (
        "malformed name stream: declared name sub-streams of 385875974 bytes exceeds the decode limit of "
        "1048576 bytes\n")


@pytest.mark.skipif("ZELK_SANITIZED" in os.environ, reason="child interpreters lack the preloaded runtime")
@pytest.mark.parametrize("bad", ["0", "-5", "12x", "lots"])
def test_bad_limit_fails_the_import(bad):
    result = run_with_limit(bad, "import _zelk")
    assert result.returncode != 0
    assert f"ZELK_DECODE_LIMIT must be a positive number of bytes, not {bad}" in result.stderr
