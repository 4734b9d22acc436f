import struct

import crc32c
import pytest

import _zelk
import _zelk_writer as writer
from archives import fake_payload, footer_offset, plain, reordered, with_trailer_offset


def malformed(text):
    return "malformed zelk block: " + text


def index_error(archive, text):
    with pytest.raises(_zelk.ZelkError) as raised:
        _zelk.open_index(archive)
    assert str(raised.value) == text


def index_summary(index):
    groups = [(g.block_offset, g.read_count) for g in index.groups()]
    streams = [(index.stream_range(g, s), index.stream_crc(g, s))
               for g in range(index.num_groups) for s in ("names", "sequence", "quality")]
    return index.total_reads, index.whole_file_crc, groups, streams


def test_index_round_trips_through_open_index_and_suffix():
    archive = plain([fake_payload(3), fake_payload(4, b"nn", b"ss", b"qq"), fake_payload(0, b"", b"", b"")])
    index = _zelk.open_index(archive)
    assert repr(index) == "Index(total_reads=7, num_groups=3)"
    found, need = _zelk.parse_index_suffix(archive, len(archive))
    assert need is None
    assert index_summary(found) == index_summary(index)


def test_stream_ranges_point_at_the_coded_bytes():
    payloads = [fake_payload(3, b"names!", b"bases", b"quals"), fake_payload(1, b"N2", b"S2", b"Q2")]
    archive = plain(payloads)
    index = _zelk.open_index(archive)
    expected = {0: (b"names!", b"bases", b"quals"), 1: (b"N2", b"S2", b"Q2")}
    for group, coded in expected.items():
        for stream, data in zip(("name", "seq", "qual"), coded):
            start, end = index.stream_range(group, stream)
            assert archive[start:end] == data
            assert index.stream_crc(group, stream) == crc32c.crc32c(data)
            index.verify_stream(group, stream, archive[start:end])
    assert [g.block_offset for g in index.groups()] == [25, archive.index(b"ZELB", 26)]
    assert archive[index.groups()[1].block_offset:][:4] == b"ZELB"


def test_verify_stream_detects_one_flipped_bit():
    archive = plain()
    index = _zelk.open_index(archive)
    start, end = index.stream_range(1, "quality")
    coded = bytearray(archive[start:end])
    coded[0] ^= 0x10
    with pytest.raises(_zelk.ZelkError) as raised:
        index.verify_stream(1, "quality", bytes(coded))
    assert str(raised.value) == "corrupted zelk data: row group 1 Quality stream (crc mismatch)"


def test_group_out_of_range_texts():
    index = _zelk.open_index(plain())
    for method in (index.stream_range, index.stream_crc):
        with pytest.raises(_zelk.ZelkError) as raised:
            method(2, "names")
        assert str(raised.value) == "row-group index out of range"
    with pytest.raises(_zelk.ZelkError) as raised:
        index.verify_stream(2, "names", b"")
    assert str(raised.value) == malformed("row-group index out of range")
    with pytest.raises(OverflowError):
        index.stream_range(-1, "names")


def test_stream_names_and_aliases():
    index = _zelk.open_index(plain())
    for full, alias in (("names", "name"), ("sequence", "seq"), ("quality", "qual")):
        assert index.stream_range(0, full) == index.stream_range(0, alias)
    with pytest.raises(ValueError) as raised:
        index.stream_range(0, 'Names"\n')
    assert str(raised.value) == (
        "unknown stream \"Names\\\"\\n\"; expected 'names', 'sequence', or 'quality'")


def test_index_objects_are_read_only_and_fresh():
    index = _zelk.open_index(plain())
    group = index.groups()[0]
    for obj, attribute in ((index, "total_reads"), (index, "num_groups"), (group, "read_count"),
                           (group, "block_offset")):
        with pytest.raises(AttributeError):
            setattr(obj, attribute, 1)
    assert index.groups()[0] is not group
    assert index.verify_stream.__doc__.startswith("Verify a fetched coded stream")


def test_zero_group_footer():
    archive = plain([])
    assert len(archive) - footer_offset(archive) == 20 + 12
    index = _zelk.open_index(archive)
    assert (index.num_groups, index.total_reads, index.groups()) == (0, 0, [])


@pytest.mark.parametrize("tail", [11, 12, 13, 40, 77, None, "all", "longer"])
def test_remote_protocol_reaches_the_index_in_two_fetches(tail):
    archive = plain([fake_payload(i) for i in range(1, 6)])
    size = len(archive)
    length = {None: size - footer_offset(archive) - 1, "all": size, "longer": size + 5}.get(tail, tail)

    def fetch(n):
        return archive[-n:] if n <= size else None

    calls = 0
    want = length
    while True:
        suffix = fetch(want)
        if suffix is None:
            with pytest.raises(_zelk.ZelkError) as raised:
                _zelk.parse_index_suffix(archive + b"x" * (want - size), size)
            assert str(raised.value) == malformed("suffix longer than the archive")
            return
        calls += 1
        index, need = _zelk.parse_index_suffix(suffix, size)
        if index is not None:
            break
        assert need >= 12
        want = need
    # A tail shorter than the trailer costs one extra round trip to learn it.
    assert calls <= (3 if length < 12 else 2)
    assert index_summary(index) == index_summary(_zelk.open_index(archive))


def test_partial_body_asks_for_exactly_body_plus_trailer():
    archive = plain()
    offset = footer_offset(archive)
    index, need = _zelk.parse_index_suffix(archive[offset + 1:], len(archive))
    assert (index, need) == (None, len(archive) - offset)


def test_short_suffix_is_not_inspected():
    assert _zelk.parse_index_suffix(b"x" * 11, 1000) == (None, 12)


@pytest.mark.parametrize("damage, text", [
    (lambda a: a[:-1] + b"Q", malformed("missing footer trailer magic")),
    (lambda a: with_trailer_offset(a, 24), malformed("footer offset out of range")),
    (lambda a: with_trailer_offset(a, len(a) - 31), malformed("footer offset out of range")),
    (lambda a: with_trailer_offset(a, (1 << 64) - 5), malformed("footer offset out of range")),
])
def test_trailer_errors_on_both_paths(damage, text):
    archive = damage(plain())
    index_error(archive, text)
    with pytest.raises(_zelk.ZelkError) as raised:
        _zelk.parse_index_suffix(archive, len(archive))
    assert str(raised.value) == text


def build_body(groups, total_reads=0, whole_file_crc=0, count=None, crc=None):
    body = struct.pack("<I", len(groups) if count is None else count)
    for block_offset, reads, streams in groups:
        body += struct.pack("<QI", block_offset, reads)
        for offset, length in streams:
            body += struct.pack("<QII", offset, length, 0)
    body += struct.pack("<QI", total_reads, whole_file_crc)
    return body + struct.pack("<I", crc32c.crc32c(body) if crc is None else crc)


def archive_with_body(body, gap=40):
    """Header, `gap` filler bytes, then the footer body at offset 25 + gap."""
    head = writer.encode_header() + b"\0" * gap
    return head + body + struct.pack("<Q", len(head)) + b"ZELF"


def ok_streams(at):
    return [(at, 1), (at + 1, 1), (at + 2, 1)]


@pytest.mark.parametrize("body, text", [
    (build_body([], count=3, crc=1), "corrupted zelk data: footer (crc mismatch)"),
    (build_body([], count=1), malformed("footer size does not match its row-group count")),
    (build_body([(24, 1, ok_streams(30))]), malformed("footer row-group offset out of range")),
    (build_body([(65, 1, ok_streams(66))]), malformed("footer row-group offset out of range")),
    (build_body([(25, 1, [(30, 1), ((1 << 64) - 1, 2), (30, 1)])]), malformed("footer stream offset overflow")),
    (build_body([(30, 1, [(29, 1), (30, 1), (30, 1)])]), malformed("footer stream location out of range")),
    (build_body([(25, 1, [(30, 1), (60, 6), (30, 1)])]), malformed("footer stream location out of range")),
])
def test_footer_body_errors(body, text):
    index_error(archive_with_body(body), text)


def test_stream_may_end_exactly_at_the_footer():
    archive = archive_with_body(build_body([(25, 1, [(30, 1), (60, 5), (30, 1)])]))
    assert _zelk.open_index(archive).stream_range(0, "seq") == (60, 65)


def test_footer_body_too_short():
    head = writer.encode_header() + b"\0" * 10
    archive = head + b"\0" * 19 + struct.pack("<Q", len(head)) + b"ZELF"
    index_error(archive, malformed("footer offset out of range"))


def test_small_archives_are_truncated_before_the_trailer_is_read():
    index_error(writer.encode_header() + b"\0" * 11, "truncated zelk stream")


def test_open_index_refuses_the_reordered_layout():
    archive = reordered([b"p", b"s", b"n"], [], [])
    index_error(archive, malformed("reorder layout has no row-group index; random access is unsupported"))
    with pytest.raises(_zelk.ZelkError, match="missing footer trailer magic|footer offset out of range"):
        _zelk.parse_index_suffix(archive, len(archive))


def test_writer_footer_overrides_are_honoured():
    archive = plain(total_reads=99, whole_file_crc=5)
    index = _zelk.open_index(archive)
    assert (index.total_reads, index.whole_file_crc) == (99, 5)
    index_error(plain(body_crc=0), "corrupted zelk data: footer (crc mismatch)")
    bad = plain(footer_offset=26)
    index_error(bad, "corrupted zelk data: footer (crc mismatch)")
