import struct

import pytest

import _zelk
import _zelk_writer as writer
from archives import plain


def inspect_header(**fields):
    return _zelk.inspect(plain(header=writer.encode_header(**fields)))


def expect_error(archive, text, kind=_zelk.ZelkError):
    with pytest.raises(kind) as raised:
        _zelk.inspect(archive)
    assert str(raised.value) == text


def test_minimal_header_parses_with_defaults():
    header = writer.encode_header()
    assert len(header) == 25
    info = _zelk.inspect(plain(header=header))
    assert info.member_labels == []
    assert (info.format_version, info.group_size, info.platform) == (256, 1, "unknown")


@pytest.mark.parametrize("length", [0, 1, 20])
def test_short_input_is_truncated(length):
    expect_error((b"ZELK\x01" + bytes(16))[:length], "truncated zelk stream")


def test_bad_magic():
    expect_error(b"ZELX" + b"\0" * 40, "not an zelk container (bad magic)")
    expect_error(b"\0" * 21, "not an zelk container (bad magic)")


def test_version_and_features_are_checked_before_the_crc():
    expect_error(writer.encode_header(major=2, minor=7, crc=0),
                 "unsupported zelk format version 2.7 (this build reads 1.x)")
    expect_error(writer.encode_header(required_features=3, crc=0),
                 "zelk archive requires unsupported features (bits 0x2); upgrade zelk")
    expect_error(writer.encode_header(required_features=(1 << 63) | 1),
                 "zelk archive requires unsupported features (bits 0x8000000000000000); upgrade zelk")


def test_required_feature_bit_zero_and_any_minor_version_are_accepted():
    info = inspect_header(required_features=1, minor=200)
    assert info.required_features == 1
    assert info.format_version == 256 + 200


def test_crc_is_checked_before_flags():
    expect_error(writer.encode_header(flags=0x40, crc=1), "corrupted zelk data: header (crc mismatch)")
    expect_error(writer.encode_header(flags=0x40),
                 "zelk archive uses unsupported header flags (bits 0x40); upgrade zelk")
    expect_error(writer.encode_header(flags=0xC3),
                 "zelk archive uses unsupported header flags (bits 0xc0); upgrade zelk")


def test_extension_region_cut_short_is_an_io_error():
    header = writer.encode_header(extensions=b"\x7f\x01\x00x")
    with pytest.raises(OSError, match="failed to fill whole buffer"):
        _zelk.inspect(header[:-3])


def labels_region(*labels, count=None):
    payload = bytes([len(labels) if count is None else count])
    for label in labels:
        payload += bytes([len(label)]) + label
    return writer.extension_record(1, payload)


@pytest.mark.parametrize(
    "region, members, expected",
    [
        (labels_region(b"R1", b"R2"), 2, ["R1", "R2"]),
        (labels_region(b"R1", b"R2", count=3), 2, []),  # count differs from member count
        (labels_region(b"R1", b"R2"), 3, []),
        (labels_region(b"", b"R2"), 2, []),  # label of length 0
        (labels_region(b"x" * 16, b"R2"), 2, []),  # label of length 16
        (labels_region(b"x" * 15, b"\xc3\xa9"), 2, ["x" * 15, "\u00e9"]),
        (labels_region(b"\xff", b"R2"), 2, []),  # invalid UTF-8
        (labels_region(b"A", b"B") + labels_region(b"C", b"D"), 2, ["C", "D"]),
        (labels_region(b"A", b"B") + labels_region(b"C"), 2, []),  # a later bad record wins
        (writer.extension_record(1, labels_region(b"A")[3:] + b"junk"), 1, ["A"]),
        (writer.extension_record(1, b""), 1, []),
        (writer.extension_record(0x7F, b"anything") + labels_region(b"2", b"4"), 2, ["2", "4"]),
        (labels_region(b"only"), 0, ["only"]),  # stored member count 0 reads as 1
    ],
)
def test_member_labels(region, members, expected):
    info = inspect_header(extensions=region, member_count=members)
    assert info.member_labels == expected
    assert info.group_size == max(members, 1)


def test_writer_member_labels_record_round_trips():
    region = writer.member_labels_record([b"R1", b"R2"])
    assert inspect_header(extensions=region, member_count=2).member_labels == ["R1", "R2"]


@pytest.mark.parametrize(
    "region, text",
    [
        (b"\x01\x00", "malformed zelk block: truncated header extension record"),
        (writer.extension_record(0x7F, b"") + b"\x05\x00",
         "malformed zelk block: truncated header extension record"),
        (b"\x05\x04\x00abc", "malformed zelk block: header extension record overruns region"),
        (writer.extension_record(0x80, b"x"),
         "zelk archive has an unsupported critical header extension (tag 0x80); upgrade zelk"),
        (writer.extension_record(0xFF, b"") + b"\x01",
         "zelk archive has an unsupported critical header extension (tag 0xff); upgrade zelk"),
    ],
)
def test_bad_extension_regions(region, text):
    expect_error(writer.encode_header(extensions=region), text)


@pytest.mark.parametrize("code, name", [(0, "unknown"), (1, "Illumina"), (2, "Oxford Nanopore"),
                                        (3, "PacBio"), (4, "MGI/BGI"), (5, "unknown"), (9, "unknown")])
def test_platform_names(code, name):
    assert inspect_header(platform=code).platform == name


def test_header_bytes_are_little_endian_at_fixed_offsets():
    header = writer.encode_header(minor=3, required_features=1, seq_order=7, quality_binning=2,
                                  flags=0x15, member_count=2, platform=3)
    assert header[:4] == b"ZELK"
    assert struct.unpack_from("<BBQBBBBBH", header, 4) == (1, 3, 1, 7, 2, 0x15, 2, 3, 0)
    info = _zelk.inspect(plain(header=header))
    assert (info.seq_order, info.quality_binning, info.format_version) == (7, 2, 259)
    assert (info.plus_normalized, info.reordered, info.keep_order, info.regenerated_names) == (
        True, False, True, True)
    assert "format=1.3" in repr(info)
