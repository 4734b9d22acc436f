import io

import pytest

import _zelk
import _zelk_writer as writer
from archives import fake_payload, footer_offset, plain, reordered

MIB = 1 << 20
# Covered length = footer offset + 60 per group + 12 (group count, total reads).
OVERHEAD = 25 + 16 + 40 + 12 + 60 + 12


def archive_covering(covered):
    """One block whose payload size makes the whole-file CRC cover exactly
    `covered` bytes."""
    names = b"n" * (covered - OVERHEAD)
    archive = plain([fake_payload(1, names, b"", b"")])
    assert footer_offset(archive) + 60 + 12 == covered
    return archive


@pytest.mark.parametrize("covered", [MIB, MIB + 1, 3 * MIB + 5])
@pytest.mark.parametrize("threads", [0, 1, 2, 10**6])
def test_verify_passes_on_both_crc_paths(covered, threads):
    assert _zelk.verify(archive_covering(covered), threads=threads) is None


@pytest.mark.parametrize("covered", [MIB, MIB + 1])
def test_flipped_payload_byte_fails_with_whole_file_crc(covered):
    archive = bytearray(archive_covering(covered))
    archive[100] ^= 1
    for threads in (0, 1):
        with pytest.raises(_zelk.ZelkError) as raised:
            _zelk.verify(bytes(archive), threads=threads)
        assert str(raised.value) == "corrupted zelk data: archive (whole-file crc) (crc mismatch)"


def test_verify_from_path_and_small_archive(tmp_path):
    path = tmp_path / "a.zelk"
    path.write_bytes(plain())
    _zelk.verify(path)
    _zelk.verify(plain([]))


@pytest.mark.parametrize("damage, text", [
    (lambda a: a[:10], "truncated zelk stream"),
    (lambda a: a[:-1] + b"x", "malformed zelk block: missing footer trailer magic"),
    (lambda a: a[:-16] + b"\0\0\0\0" + a[-12:], "corrupted zelk data: footer (crc mismatch)"),
])
def test_verify_reports_header_and_footer_errors(damage, text):
    with pytest.raises(_zelk.ZelkError) as raised:
        _zelk.verify(damage(plain()))
    assert str(raised.value) == text


def test_verify_refuses_file_like_objects_before_reading():
    class Reader(io.BytesIO):
        def read(self, *args):
            raise AssertionError("read")

    with pytest.raises(TypeError, match=r"^source must be bytes, a str path, or an os\.PathLike$"):
        _zelk.verify(Reader(plain()))


def test_verify_of_reordered_layout_decodes_it():
    with pytest.raises(OSError, match="failed to fill whole buffer"):
        _zelk.verify(reordered([b"p", b"s", b""], [], []))
    with pytest.raises(_zelk.ZelkError, match=r"^malformed zelk block: reorder output digest length$"):
        _zelk.verify(reordered([b"", b"", b""], [], [], reads=0) + writer.framed_slice(b"1234567"))


def test_threads_must_be_unsigned():
    with pytest.raises(OverflowError):
        _zelk.verify(plain(), threads=-1)
    with pytest.raises(TypeError):
        _zelk.verify(plain(), 1)
