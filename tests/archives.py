"""Small builders of container pieces for tests (the coded streams here are
opaque bytes: the container never decodes them on these paths)."""

import struct

import _zelk_writer as writer


def fake_payload(reads=3, names=b"N" * 5, sequence=b"S" * 7, quality=b"Q" * 11):
    return writer.block_payload(names, sequence, quality, read_count=reads)


def plain(payloads=None, header=None, **footer_overrides):
    if payloads is None:
        payloads = [fake_payload(3), fake_payload(4, b"nn", b"ss", b"qq")]
    return writer.plain_archive(header or writer.encode_header(), payloads, **footer_overrides)


def footer_offset(archive):
    return struct.unpack_from("<Q", archive, len(archive) - 12)[0]


def with_trailer_offset(archive, offset):
    return archive[:-12] + struct.pack("<Q", offset) + archive[-4:]


def reordered(sections, block_slices, pair_slices, reads=5, flags=0x08):
    """A globally reordered layout: reads, three (or four) section slices, the
    block count, the block slices and the (names, quality) slice pairs."""
    body = struct.pack("<Q", reads)
    body += b"".join(writer.framed_slice(s) for s in sections)
    body += struct.pack("<I", len(block_slices))
    body += b"".join(writer.framed_slice(s) for s in block_slices)
    for names, quality in pair_slices:
        body += writer.framed_slice(names) + writer.framed_slice(quality)
    return writer.encode_header(flags=flags) + body
