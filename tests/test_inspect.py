import struct

import crc32c
import pytest

import _zelk
import _zelk_writer as writer
from archives import fake_payload, plain, reordered


def test_footer_totals_and_whole_file_crc():
    archive = plain()
    info = _zelk.inspect(archive)
    assert (info.reads, info.blocks) == (7, 2)
    assert (info.names_bytes, info.sequence_bytes, info.quality_bytes) == (7, 9, 13)
    # Covered: everything before the whole-file CRC field (body CRC and trailer follow it).
    assert info.whole_file_crc == crc32c.crc32c(archive[:-20])


def test_repr_and_defaults():
    info = _zelk.inspect(plain(header=writer.encode_header(platform=1)))
    assert repr(info) == 'Info(reads=7, blocks=2, format=1.0, platform="Illumina")'
    assert info.keep_order and not info.reordered


def test_keep_order_follows_flag_bits_one_and_two():
    def keep(flags):
        return _zelk.inspect(plain(header=writer.encode_header(flags=flags))).keep_order

    assert (keep(0x00), keep(0x02), keep(0x06), keep(0x04)) == (True, False, True, True)


def test_zero_blocks_archive():
    info = _zelk.inspect(plain(payloads=[]))
    assert (info.reads, info.blocks, info.names_bytes) == (0, 0, 0)
    assert info.whole_file_crc is not None


@pytest.mark.parametrize("damage", [
    lambda a: a[:-12] + bytes(12),                     # trailer wiped
    lambda a: a[:-1] + b"X",                           # trailer magic
    lambda a: a[:-16] + b"\0\0\0\0" + a[-12:],         # footer body CRC
    lambda a: a[:-12] + struct.pack("<Q", 3) + a[-4:],  # offset into the header
])
def test_unusable_footer_falls_back_to_the_block_walk(damage):
    info = _zelk.inspect(damage(plain()))
    assert (info.reads, info.blocks) == (7, 2)
    assert (info.names_bytes, info.sequence_bytes, info.quality_bytes) == (7, 9, 13)
    assert info.whole_file_crc is None


def test_block_walk_stops_at_truncation_inside_a_block():
    archive = plain()
    second_block = archive.index(b"ZELB", 30)
    # Cut after the second block's read count: the walk keeps what it read.
    info = _zelk.inspect(archive[: second_block + 44])
    assert (info.reads, info.blocks, info.names_bytes) == (7, 2, 5)
    assert info.whole_file_crc is None
    info = _zelk.inspect(archive[: second_block + 8])
    assert (info.reads, info.blocks) == (3, 1)


def test_block_walk_stops_at_bad_sync_or_length():
    archive = bytearray(plain()[:-20])  # no footer at all
    second_block = archive.index(b"ZELB", 30)
    archive[second_block] = ord("X")
    assert _zelk.inspect(bytes(archive)).blocks == 1
    archive[second_block] = ord("Z")
    struct.pack_into("<Q", archive, second_block + 4, (1 << 31) + 1)
    assert _zelk.inspect(bytes(archive)).blocks == 1


def reordered_style_payload(reads, bitmap_bytes, field, streams):
    payload = bytes(24) + struct.pack("<I", reads) + bytes(bitmap_bytes)
    payload += struct.pack("<I", len(field)) + field
    for stream in streams:
        payload += struct.pack("<I", len(stream)) + stream
    return payload


def test_block_walk_skips_the_extra_fields_of_flag_bit_one():
    header = writer.encode_header(flags=0x02)
    blocks = [reordered_style_payload(9, 2, b"perm", [b"n" * 3, b"s" * 4, b"q" * 5]),
              reordered_style_payload(8, 1, b"", [b"n", b"s", b"q"])]
    body = b"".join(writer.block_frame(p) for p in blocks) + writer.end_of_blocks()
    info = _zelk.inspect(header + body)
    assert (info.reads, info.blocks) == (17, 2)
    assert (info.names_bytes, info.sequence_bytes, info.quality_bytes) == (4, 5, 6)
    assert info.reordered and not info.keep_order


def test_reordered_layout_walk_counts_sections():
    archive = reordered([b"perm", b"ssss", b"nn"], [b"s" * 10, b"s" * 3],
                        [(b"n" * 5, b"q" * 7), (b"n", b"q" * 2)], reads=12)
    info = _zelk.inspect(archive)
    assert (info.reads, info.blocks) == (12, 2)
    assert (info.sequence_bytes, info.names_bytes, info.quality_bytes) == (4 + 13, 2 + 6, 9)
    assert info.whole_file_crc is None


def test_reordered_layout_with_global_reference_counts_fourth_section():
    archive = reordered([b"perm", b"ss", b"nn", b"r" * 6], [b"s"], [(b"n", b"q")], flags=0x28)
    info = _zelk.inspect(archive)
    assert (info.sequence_bytes, info.names_bytes, info.quality_bytes) == (2 + 6 + 1, 3, 1)


def test_reordered_layout_walk_failure_is_raised():
    archive = reordered([b"perm", b"ss", b"nn"], [b"s" * 10], [(b"n", b"q")])
    with pytest.raises(OSError, match="failed to fill whole buffer"):
        _zelk.inspect(archive[:-3])


def test_inspect_from_path(tmp_path):
    path = tmp_path / "x.zelk"
    path.write_bytes(plain([fake_payload(5)]))
    assert _zelk.inspect(path).reads == 5


def test_framed_slices_round_trip_and_report_their_label():
    slice_ = writer.framed_slice(b"payload") + b"after"
    assert writer.read_framed_slice(slice_, "section") == (b"payload", 15)
    assert writer.read_framed_slice(writer.framed_slice(b""), "x") == (b"", 8)
    with pytest.raises(_zelk.ZelkError) as raised:
        writer.read_framed_slice(writer.framed_slice(b"payload", crc=7), "plain-layout global reference")
    assert str(raised.value) == "corrupted zelk data: plain-layout global reference (crc mismatch)"
    with pytest.raises(_zelk.ZelkError, match="^malformed zelk block: framed slice length exceeds the maximum$"):
        writer.read_framed_slice(struct.pack("<II", (1 << 31) + 1, 0), "x")
    with pytest.raises(_zelk.ZelkError, match="^truncated zelk stream$"):
        writer.read_framed_slice(writer.framed_slice(b"payload")[:-1], "x")
    with pytest.raises(OSError, match="failed to fill whole buffer"):
        writer.read_framed_slice(b"\x01\x00\x00", "x")


def test_block_walk_steps_over_the_shared_reference_frame():
    records = [(b"r%d" % i, b"ACGTACGTAA", b"IIIIIIIIII") for i in range(30)]
    archive = writer.write_archive(records, block_reads=10, reference=[b"ACGTACGTAAGG" * 20])
    info = _zelk.inspect(archive[:-12] + bytes(12))  # no footer: the walk counts
    assert (info.reads, info.blocks, info.whole_file_crc) == (30, 3, None)
