"""The reading functions on URLs and fsspec files: an HTTP server with byte
ranges and an S3 API server, both on loopback."""

import pytest

pytest.importorskip("fsspec", reason="fsspec is not installed")
pytest.importorskip("aiohttp", reason="aiohttp (fsspec's HTTP filesystem) is not installed")

import _zelk
import _zelk_writer as writer
import zelk
from servers import RangeServer, s3_bucket
from zelk.remote import StoreArchive


def records(count, length=60):
    return [(b"r%d" % i, bytes(b"ACGT"[(i + j * 3) % 4] for j in range(length)),
             bytes(33 + (i * 5 + j) % 40 for j in range(length))) for i in range(count)]


READS = records(400)
# Position-context qualities: a quality column then decodes without the bases,
# which the request counts below rely on.
ARCHIVE = writer.write_archive(READS, block_reads=100, quality_mode=0)


@pytest.fixture(scope="module")
def http():
    server = RangeServer({"a.zelk": ARCHIVE}).start()
    yield server
    server.stop()


def test_random_access_fetches_the_tail_and_one_range_per_column(http):
    url = http.url("a.zelk")
    http.log.clear()
    assert zelk.read_names(url, [2]) == [r[0] for r in READS[200:300]]
    gets = [(start, size) for path, start, size in http.log]
    names_start, names_end = _zelk.open_index(ARCHIVE).stream_range(2, "names")
    # One tail (the footer fits the default tail) and one names range.
    assert len(gets) == 2 and gets[-1] == (names_start, names_end - names_start)
    assert gets[0][0] + gets[0][1] == len(ARCHIVE)


@pytest.mark.parametrize("reader, column", [
    (zelk.read_names, 0), (zelk.read_sequences, 1), (zelk.read_qualities, 2)])
def test_columns_over_http_match_the_local_reader(http, reader, column):
    url = http.url("a.zelk")
    assert reader(url) == [r[column] for r in READS]
    assert reader(url, [3, 0]) == [r[column] for r in READS[300:] + READS[:100]]


def test_whole_archive_operations_over_http(http):
    url = http.url("a.zelk")
    assert [(r.name, r.sequence, r.quality) for r in zelk.open(url)] == READS
    assert zelk.inspect(url).reads == 400 and zelk.inspect(url).blocks == 4
    zelk.verify(url)
    assert zelk.open_index(url).num_groups == 4
    assert [tuple(r) for r in zelk.read_block(url, 1)] == READS[100:200]
    assert zelk.decompress_to_bytes(url) == _zelk.decompress_to_bytes(ARCHIVE)


def test_corruption_in_transit_is_caught():
    damaged = bytearray(ARCHIVE)
    start, _ = _zelk.open_index(ARCHIVE).stream_range(1, "sequence")
    damaged[start + 1] ^= 0x40
    server = RangeServer({"bad.zelk": bytes(damaged)}).start()
    try:
        with pytest.raises(_zelk.ZelkError, match=r"row group 1 Sequence stream \(crc mismatch\)"):
            zelk.read_sequences(server.url("bad.zelk"), [1])
        assert zelk.read_names(server.url("bad.zelk"), [1]) == [r[0] for r in READS[100:200]]
        with pytest.raises(_zelk.ZelkError):
            zelk.verify(server.url("bad.zelk"))
    finally:
        server.stop()


def test_short_tail_needs_one_more_fetch(http):
    store = StoreArchive(http.url("a.zelk"), tail_bytes=16)
    index = store.index()
    # The size lookup, the short tail and the exact refetch.
    assert index.num_groups == 4 and store.requests == 3
    assert store.read_qualities(0) == [r[2] for r in READS[:100]]
    assert store.requests == 4


def test_local_files_by_url_and_fsspec_file(tmp_path):
    import fsspec

    path = tmp_path / "a.zelk"
    path.write_bytes(ARCHIVE)
    url = path.as_uri()
    assert zelk.read_qualities(url, [1]) == [r[2] for r in READS[100:200]]
    assert zelk.inspect(url).reads == 400
    zelk.verify(url)
    with fsspec.open(url, "rb") as file:
        assert zelk.read_names(file, [3]) == [r[0] for r in READS[300:]]
    with fsspec.open(url, "rb") as file:
        assert sum(1 for _ in zelk.open(file)) == 400


@pytest.fixture(scope="module")
def s3():
    pytest.importorskip("s3fs", reason="s3fs is not installed")
    pytest.importorskip("moto.server", reason="moto[server] is not installed")
    with s3_bucket("zelk-test") as found:
        yield found


def test_s3_through_s3fs(s3):
    fs, options = s3
    fs.pipe("zelk-test/a.zelk", ARCHIVE)
    url = "s3://zelk-test/a.zelk"
    assert zelk.read_names(url, [0], storage_options=options) == [r[0] for r in READS[:100]]
    assert zelk.read_qualities(url, storage_options=options) == [r[2] for r in READS]
    assert zelk.inspect(url, storage_options=options).reads == 400
    zelk.verify(url, storage_options=options)
    with fs.open("zelk-test/a.zelk", "rb") as file:
        assert zelk.read_sequences(file, [2]) == [r[1] for r in READS[200:300]]
