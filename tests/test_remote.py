import pytest

import _zelk
import _zelk_writer as writer
from servers import RangeServer
from zelk.remote import RemoteArchive


@pytest.fixture
def serve():
    servers = []

    def start(data, **kwargs):
        servers.append(RangeServer({"archive.zelk": data}, **kwargs).start())
        return servers[-1].url("archive.zelk")

    yield start
    for server in servers:
        server.stop()


def records(count):
    return [(b"read%d" % i, b"ACGT" * 10 + b"A" * (i % 7), b"I" * 40 + b"#" * (i % 7)) for i in range(count)]


@pytest.mark.parametrize("tail", [8, 64, 1 << 20])
def test_index_in_at_most_two_requests_then_one_per_column(serve, tail):
    reads = records(200)
    archive = writer.write_archive(reads, block_reads=50)
    remote = RemoteArchive(serve(archive), tail_bytes=tail)
    index = remote.index()
    assert remote.requests <= 2 if tail >= 12 else remote.requests <= 3
    assert index.num_groups == 4 and remote.size == len(archive)
    before = remote.requests
    assert remote.read_names(2) == [r[0] for r in reads[100:150]]
    assert remote.requests == before + 1
    assert remote.read_qualities(3) == [r[2] for r in reads[150:]]
    assert remote.read_sequences(0) == [r[1] for r in reads[:50]]


def test_long_read_qualities_fetch_their_bases(serve):
    reads = [(b"r%d" % i, b"ACGTTGCA" * 150, bytes(33 + (i + j) % 30 for j in range(1200))) for i in range(6)]
    archive = writer.write_archive(reads, block_reads=3, quality_mode=3)
    remote = RemoteArchive(serve(archive))
    assert remote.read_qualities(1) == [r[2] for r in reads[3:]]


def test_corruption_in_transit_is_detected(serve):
    archive = bytearray(writer.write_archive(records(20), block_reads=10))
    start, _ = _zelk.open_index(bytes(archive)).stream_range(1, "names")
    archive[start] ^= 1
    remote = RemoteArchive(serve(bytes(archive)))
    with pytest.raises(_zelk.ZelkError, match=r"row group 1 Names stream \(crc mismatch\)"):
        remote.read_names(1)


def test_server_without_range_support_is_refused(serve):
    remote = RemoteArchive(serve(writer.write_archive(records(3)), honour_ranges=False))
    with pytest.raises(OSError, match="ignored the Range request"):
        remote.index()
