"""Random access past 4 GiB: a real archive's blocks placed beyond the 4 GiB
mark of a sparse file, with a footer that points there, read back through
every random-access function."""
import os
import struct

import crc32c
import pytest

import _zelk
import _zelk_writer as writer

STREAMS = ("names", "sequence", "quality")
# Past 2^32 and off any page boundary, so no 32-bit truncation or rounding
# of an offset can land on the right bytes.
SHIFT = (5 << 30) + 12345


def footer(groups, total_reads, whole_file_crc):
    """A footer body written here from the format's field list, not by the
    writer: each group is (block offset, reads, [(offset, length, crc)] * 3)."""
    body = struct.pack("<I", len(groups))
    for block_offset, reads, streams in groups:
        body += struct.pack("<QI", block_offset, reads)
        for offset, length, crc in streams:
            body += struct.pack("<QII", offset, length, crc)
    body += struct.pack("<QI", total_reads, whole_file_crc)
    return body + struct.pack("<I", crc32c.crc32c(body))


def write_shifted(path, archive, shift):
    """Writes `archive` with its blocks `shift` bytes later, leaving a hole
    after the header; returns the moved footer's offset."""
    index = _zelk.open_index(archive)
    first_block = index.groups()[0].block_offset
    old_footer = struct.unpack_from("<Q", archive, len(archive) - 12)[0]
    groups = []
    for group, loc in enumerate(index.groups()):
        streams = []
        for stream in STREAMS:
            start, end = index.stream_range(group, stream)
            streams.append((start + shift, end - start, index.stream_crc(group, stream)))
        groups.append((loc.block_offset + shift, loc.read_count, streams))
    new_footer = old_footer + shift
    with open(path, "wb") as handle:
        handle.write(archive[:first_block])
        handle.seek(first_block + shift)
        handle.write(archive[first_block:old_footer])
        handle.write(footer(groups, index.total_reads, index.whole_file_crc))
        handle.write(struct.pack("<Q", new_footer) + b"ZELF")
    return new_footer


def records_of(count):
    bases = b"ACGTTGCANACGGT"
    return [(b"run7:%d:%d" % (i % 4, 1000 + 13 * i),
             bytes(bases[(i * 5 + j * 7) % len(bases)] for j in range(40 + i % 60)),
             bytes(35 + (i * 3 + j) % 38 for j in range(40 + i % 60)))
            for i in range(count)]


# Quality mode 1 is coded against the bases: reading it needs the group's
# sequence stream as well.
@pytest.fixture(scope="module", params=[0, 1], ids=["quality-alone", "quality-on-bases"])
def shifted(request, tmp_path_factory):
    records = records_of(300)
    archive = writer.write_archive(records, block_reads=70, quality_mode=request.param)
    path = tmp_path_factory.mktemp("large") / "shifted.zelk"
    try:
        footer_offset = write_shifted(path, archive, SHIFT)
    except OSError as error:  # no room, or no files this large
        pytest.skip(f"cannot write a file past 4 GiB here: {error}")
    if os.stat(path).st_blocks * 512 > 64 << 20:
        path.unlink()
        pytest.skip("this filesystem does not keep sparse files sparse")
    yield records, archive, path, footer_offset
    path.unlink()


def test_index_offsets_beyond_four_gib(shifted):
    _, archive, path, _ = shifted
    original, moved = _zelk.open_index(archive), _zelk.open_index(path)
    assert moved.num_groups == original.num_groups == 5
    assert moved.total_reads == 300
    for group, (before, after) in enumerate(zip(original.groups(), moved.groups())):
        assert after.block_offset == before.block_offset + SHIFT > 1 << 32
        assert after.read_count == before.read_count
        for stream in STREAMS:
            start, end = original.stream_range(group, stream)
            assert moved.stream_range(group, stream) == (start + SHIFT, end + SHIFT)
            assert moved.stream_crc(group, stream) == original.stream_crc(group, stream)


def test_blocks_and_columns_read_back_from_beyond_four_gib(shifted):
    records, _, path, _ = shifted
    groups = [records[start:start + 70] for start in range(0, len(records), 70)]
    for group, expected in enumerate(groups):
        assert [(r.name, r.sequence, r.quality) for r in _zelk.read_block(path, group)] == expected
    assert _zelk.read_names(path) == [r[0] for r in records]
    assert _zelk.read_sequences(path) == [r[1] for r in records]
    assert _zelk.read_qualities(path) == [r[2] for r in records]
    # Out of order, with a repeat: each group is found by its own offset.
    chosen = groups[4] + groups[0] + groups[4]
    assert _zelk.read_qualities(path, [4, 0, 4]) == [r[2] for r in chosen]
    assert _zelk.read_names(path, [4, 0, 4]) == [r[0] for r in chosen]


def test_remote_pattern_beyond_four_gib(shifted):
    """Tail fetch, index from the suffix, one range per stream, checked and
    decoded on its own: what a remote client does with a 5 GiB archive."""
    records, _, path, footer_offset = shifted
    size = os.stat(path).st_size
    with open(path, "rb") as handle:
        handle.seek(size - 64)
        index, need = _zelk.parse_index_suffix(handle.read(64), size)
        assert index is None and need == size - footer_offset
        handle.seek(size - need)
        index, again = _zelk.parse_index_suffix(handle.read(need), size)
        assert again is None
        group = 3
        fetched = {}
        for stream in STREAMS:
            start, end = index.stream_range(group, stream)
            assert start > 1 << 32
            handle.seek(start)
            fetched[stream] = handle.read(end - start)
            index.verify_stream(group, stream, fetched[stream])
    expected = records[210:280]
    assert _zelk.decode_names_bytes(fetched["names"]) == [r[0] for r in expected]
    sequences = _zelk.decode_sequences_bytes(fetched["sequence"])
    assert sequences == [r[1] for r in expected]
    seq = b"".join(sequences) if _zelk.quality_needs_sequence_bytes(fetched["quality"]) else None
    assert _zelk.decode_qualities_bytes(fetched["quality"], seq) == [r[2] for r in expected]
