import io
import threading

import pytest

import _zelk
import _zelk_writer as writer
from process_state import thread_ids, threads_left_since


def synthetic(count, length=12):
    return [(b"read/%d" % i, (b"ACGTTGCA" * 4)[: length + i % 4], (b"IIII####" * 4)[: length + i % 4])
            for i in range(count)]


def triples(reader):
    return [(r.name, r.sequence, r.quality) for r in reader]


@pytest.fixture(scope="module")
def archive():
    records = synthetic(300)
    return records, writer.write_archive(records, block_reads=40)


def test_open_yields_every_record_in_order(archive):
    records, data = archive
    assert triples(_zelk.open(data)) == records
    assert triples(_zelk.open(io.BytesIO(data), threads=1)) == records


def test_open_matches_decompress_to_bytes(archive):
    _, data = archive
    text = b"".join(b"@%s\n%s\n+\n%s\n" % (r.name, r.sequence, r.quality) for r in _zelk.open(data))
    assert text == _zelk.decompress_to_bytes(data)


@pytest.mark.parametrize("streams, fields", [
    ("names", (True, False, False)), (["names", "names"], (True, False, False)),
    ("seq", (False, True, False)), (["sequence"], (False, True, False)),
    (("qual",), (False, False, True)), (["name", "quality"], (True, False, True)),
    ((), (False, False, False)), (None, (True, True, True)),
])
def test_stream_selection(archive, streams, fields):
    records, data = archive
    expected = [tuple(value if keep else b"" for value, keep in zip(record, fields)) for record in records]
    assert triples(_zelk.open(data, streams=streams)) == expected


def test_deselected_sequence_gives_zero_length_records(archive):
    _, data = archive
    record = next(iter(_zelk.open(data, streams="names")))
    assert len(record) == 0 and repr(record) == 'Record(name="read/0", len=0)'


@pytest.mark.parametrize("streams, error, text", [
    (5, TypeError, "streams must be None, a stream name, or an iterable of stream names "
                   "('names', 'sequence', 'quality')"),
    (b"names", TypeError, "streams items must be str stream names ('names', 'sequence', 'quality')"),
    ("Seq", ValueError, "unknown stream \"Seq\"; expected 'names', 'sequence', or 'quality'"),
])
def test_stream_selection_errors(archive, streams, error, text):
    with pytest.raises(error) as raised:
        _zelk.open(archive[1], streams=streams)
    assert str(raised.value) == text


def test_argument_errors_come_before_source_errors():
    with pytest.raises(ValueError):
        _zelk.open(42, streams="bogus")
    with pytest.raises(TypeError, match="file-like object with .read"):
        _zelk.open(42)


def test_errors_arrive_after_the_last_good_record():
    records = synthetic(50)
    data = bytearray(writer.write_archive(records, block_reads=10))
    offset = _zelk.open_index(bytes(data)).groups()[3].block_offset
    data[offset + 60] ^= 1
    reader = _zelk.open(bytes(data), threads=1)
    got = []
    with pytest.raises(_zelk.ZelkError, match=r"block 3 \(crc mismatch\)"):
        for record in reader:
            got.append((record.name, record.sequence, record.quality))
    assert got == records[:30]
    with pytest.raises(StopIteration):
        next(reader)


def test_zero_read_archive_and_header_errors():
    assert list(_zelk.open(writer.write_archive([]))) == []
    reader = _zelk.open(b"not an archive at all, clearly")
    with pytest.raises(_zelk.ZelkError, match="bad magic"):
        next(reader)
    with pytest.raises(StopIteration):
        next(reader)


def test_context_manager_leaves_reader_usable(archive):
    records, data = archive
    with _zelk.open(data) as reader:
        first = next(reader)
    assert reader.__exit__(None, None, None) is False
    assert (first.name, first.sequence, first.quality) == records[0]
    assert len(list(reader)) == len(records) - 1


def test_reader_is_pinned_to_its_thread(archive):
    reader = _zelk.open(archive[1])
    failures = []

    def use():
        try:
            next(reader)
        except RuntimeError as error:
            failures.append(str(error))

    thread = threading.Thread(target=use)
    thread.start()
    thread.join()
    assert failures == ["_zelk::PyReader is unsendable, but sent to another thread"]


def test_abandoned_reader_frees_its_decode_thread():
    data = writer.write_archive(synthetic(5000), block_reads=100)  # more than the channel holds
    list(_zelk.open(writer.write_archive(synthetic(1))))
    baseline = thread_ids()
    for _ in range(5):
        reader = _zelk.open(data, threads=1)
        next(reader)
        del reader
    assert threads_left_since(baseline) == set()


def test_crlf_lines_never_leave_a_carriage_return():
    records = [(b"name\r", b"ACGT", b"IIII")]
    data = writer.write_archive(records)
    assert next(iter(_zelk.open(data))).name == b"name"


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def test_a_million_reads_stream_with_bounded_memory():
    count = 1_100_000
    archive = writer.write_archive(((b"r%d" % i, b"ACGT", b"IIII") for i in range(count)), block_reads=100_000)
    before = resident_bytes()
    peak = before
    seen = 0
    for seen, record in enumerate(_zelk.open(archive, threads=2), 1):
        if seen % 50_000 == 0:
            peak = max(peak, resident_bytes())
    assert seen == count and record.name == b"r%d" % (count - 1)
    # Two blocks of decoded records and a full channel, not the whole archive.
    assert peak - before < 200 << 20
