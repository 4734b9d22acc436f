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
@pytest.mark.parametrize("bad", ["0", "-5", "12x", "lots"])
def test_bad_limit_fails_the_import(bad):
    result = run_with_limit(bad, "import _zelk")
    assert result.returncode != 0
    assert f"ZELK_DECODE_LIMIT must be a positive number of bytes, not {bad}" in result.stderr
