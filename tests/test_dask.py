"""zelk.dask on a real local cluster (two worker processes): archives over
HTTP as dataframes and bags, and compression spread over the workers."""

import os
import subprocess
import sys

import pytest

for _package in ("dask.dataframe", "distributed", "fsspec", "aiohttp", "pyarrow", "pandas"):
    pytest.importorskip(_package, reason=f"{_package} is not installed")

import pandas as pd
import pyarrow as pa
from distributed import Client, LocalCluster

import _zelk
import _zelk_writer as writer
import zelk
import zelk.dask
from archives import reordered
from conftest import SHARED_DATA
from servers import RangeServer, s3_bucket


def records(count, seed, length=80):
    return [(b"s%d:r%d" % (seed, i), bytes(b"ACGT"[(i * seed + j * j) % 4] for j in range(length - i % 9)),
             bytes(33 + (i + j * seed) % 40 for j in range(length - i % 9))) for i in range(count)]


def fastq(reads):
    return b"".join(b"@%s\n%s\n+\n%s\n" % read for read in reads)


ARCHIVES = {
    "a.zelk": (records(250, 3), 60),
    "b.zelk": (records(90, 5), 30),
}


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            yield client


@pytest.fixture(scope="module")
def http():
    files = {name: writer.write_archive(reads, block_reads=block) for name, (reads, block) in ARCHIVES.items()}
    files["reordered.zelk"] = reordered([b"p", b"s", b"n"], [], [])
    server = RangeServer(files).start()
    yield server
    server.stop()


def test_dataframe_has_a_partition_per_run_of_row_groups(client, http):
    urls = [http.url("a.zelk"), http.url("b.zelk")]
    http.log.clear()
    frame = zelk.dask.read_zelk(urls)
    assert frame.npartitions == 5 + 3
    # Planned from the header flags and the footers alone: per archive one
    # 17-byte header fetch and one tail fetch, no payload.
    assert sorted((path, size == 17) for path, _, size in http.log) == [
        ("/a.zelk", False), ("/a.zelk", True), ("/b.zelk", False), ("/b.zelk", True)]
    assert all((start, size) == (0, 17) or start + size == len(http.files[path.lstrip("/")])
               for path, start, size in http.log)
    assert zelk.dask.read_zelk(urls, groups_per_partition=2).npartitions == 3 + 2

    result = frame.compute()
    expected = [(url, i, *read) for url, name in zip(urls, ARCHIVES) for i, read in enumerate(ARCHIVES[name][0])]
    assert list(zip(result["archive"], result["index"], result["name"], result["sequence"], result["quality"])) \
        == expected
    assert list(result["group"][:130]) == [0] * 60 + [1] * 60 + [2] * 10
    assert result["sequence"].dtype == pd.ArrowDtype(pa.binary())
    assert frame.sequence.map(len, meta=("sequence", "int64")).sum().compute() == sum(len(read[1]) for reads, _ in ARCHIVES.values()
                                                           for read in reads)


def test_names_only_reads_only_the_names(client, http):
    url = http.url("a.zelk")
    frame = zelk.dask.read_zelk(url, streams="names", groups_per_partition=2)
    http.log.clear()
    names = frame.compute()
    assert list(frame.columns) == ["name", "archive", "group", "index"]
    assert list(names["name"]) == [read[0] for read in ARCHIVES["a.zelk"][0]]
    index = _zelk.open_index(http.files["a.zelk"])
    names_bytes = sum(index.stream_range(g, "names")[1] - index.stream_range(g, "names")[0]
                      for g in range(index.num_groups))
    payload = [size for _, start, size in http.log if start + size != len(http.files["a.zelk"])]
    assert sum(payload) == names_bytes and len(payload) == index.num_groups


def test_bag_of_records(client, http):
    bag = zelk.dask.to_bag([http.url("b.zelk")], streams=("seq", "qual"))
    got = bag.compute()
    assert [(r.name, r.sequence, r.quality) for r in got] == [(b"", s, q) for _, s, q in ARCHIVES["b.zelk"][0]]


def test_reordered_archive_is_one_partition_read_in_order(client, http):
    frame = zelk.dask.read_zelk([http.url("reordered.zelk"), http.url("b.zelk")])
    assert frame.npartitions == 1 + 3
    # The hand-made archive holds no valid sections: the partition goes to
    # the whole-archive decoder, which says so.
    with pytest.raises(_zelk.ZelkError):
        frame.partitions[0].compute()
    with pytest.raises(ValueError, match="unknown stream 'bases'"):
        zelk.dask.read_zelk(http.url("b.zelk"), streams=["bases"])


@pytest.mark.parametrize("split_bytes, block_reads", [(700, 37), (1 << 20, None), (5000, 7)])
def test_compress_matches_the_single_process_writer(client, tmp_path, split_bytes, block_reads):
    reads = records(400, 7, length=120)
    source = tmp_path / "in.fastq"
    source.write_bytes(fastq(reads).replace(b"\n", b"\r\n", 40))
    count = zelk.dask.compress(str(source), str(tmp_path / "d.zelk"), client=client, split_bytes=split_bytes,
                               block_reads=block_reads)
    zelk.compress(str(source), tmp_path / "s.zelk", block_reads=block_reads)
    assert count == 400
    assert (tmp_path / "d.zelk").read_bytes() == (tmp_path / "s.zelk").read_bytes()
    zelk.verify(str(tmp_path / "d.zelk"))


def test_compress_mates_from_http_into_s3(client, tmp_path):
    pytest.importorskip("moto.server", reason="moto[server] is not installed")
    pytest.importorskip("s3fs", reason="s3fs is not installed")

    r1, r2 = records(300, 11), records(300, 13)
    server = RangeServer({"x_R1.fq": fastq(r1), "x_R2.fq": fastq(r2)}).start()
    try:
        with s3_bucket("out") as (fs, options):
            urls = [server.url("x_R1.fq"), server.url("x_R2.fq")]
            count = zelk.dask.compress(urls, "s3://out/x.zelk", client=client, split_bytes=2000,
                                       block_reads=64, dest_options=options)
            single = tmp_path / "s.zelk"
            (tmp_path / "x_R1.fq").write_bytes(fastq(r1))
            (tmp_path / "x_R2.fq").write_bytes(fastq(r2))
            zelk.compress([str(tmp_path / "x_R1.fq"), str(tmp_path / "x_R2.fq")], single, block_reads=64)
            assert count == 600
            assert fs.cat_file("out/x.zelk") == single.read_bytes()
            assert zelk.inspect("s3://out/x.zelk", storage_options=options).member_labels == ["R1", "R2"]
    finally:
        server.stop()


def test_compress_refusals(client, tmp_path):
    import gzip

    (tmp_path / "a.fq.gz").write_bytes(gzip.compress(fastq(records(3, 1))))
    with pytest.raises(ValueError, match="compressed FASTQ cannot be split"):
        zelk.dask.compress(str(tmp_path / "a.fq.gz"), str(tmp_path / "o.zelk"), client=client)
    (tmp_path / "w.fq").write_bytes(b"@r\nACGT\nAC\n+\nIIII\nII\n")
    with pytest.raises(ValueError, match="not four lines each"):
        zelk.dask.compress(str(tmp_path / "w.fq"), str(tmp_path / "o.zelk"), client=client)
    (tmp_path / "m1.fq").write_bytes(fastq(records(5, 1)))
    (tmp_path / "m2.fq").write_bytes(fastq(records(4, 1)))
    with pytest.raises(ValueError, match="m2.fq: ends after 4 records"):
        zelk.dask.compress([str(tmp_path / "m1.fq"), str(tmp_path / "m2.fq")], str(tmp_path / "o.zelk"),
                           client=client, split_bytes=100)
    assert not os.path.exists(tmp_path / "o.zelk")
    (tmp_path / "o.zelk").write_bytes(b"kept")
    with pytest.raises(FileExistsError):
        zelk.dask.compress(str(tmp_path / "m1.fq"), str(tmp_path / "o.zelk"), client=client)
    assert (tmp_path / "o.zelk").read_bytes() == b"kept"


def test_compress_real_reads_and_the_command_line(client, tmp_path):
    source = SHARED_DATA / "illumina" / "hiseqx_seqkit_10k.fastq"
    if not source.exists():
        pytest.skip("shared data illumina/hiseqx_seqkit_10k.fastq not available")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    command = [sys.executable, "-m", "zelk", "compress", "-q", "--block-reads", "1500", str(source)]
    subprocess.run(command + ["-o", str(tmp_path / "s.zelk")], check=True, env=env)
    subprocess.run(command + ["-o", str(tmp_path / "d.zelk"), "--scheduler", client.scheduler.address],
                   check=True, env=env)
    assert (tmp_path / "d.zelk").read_bytes() == (tmp_path / "s.zelk").read_bytes()
    subprocess.run(command + ["-o", str(tmp_path / "w.zelk"), "--workers", "1"], check=True, env=env)
    assert (tmp_path / "w.zelk").read_bytes() == (tmp_path / "s.zelk").read_bytes()
    refused = subprocess.run(command + ["-c", "--workers", "1"], capture_output=True, text=True, env=env)
    assert refused.returncode == 1 and "--scheduler and --workers read named files" in refused.stderr
    count = zelk.dask.compress(str(source), str(tmp_path / "p.zelk"), client=client, split_bytes=300_000)
    zelk.compress(str(source), tmp_path / "q.zelk")
    assert count == 10000 and (tmp_path / "p.zelk").read_bytes() == (tmp_path / "q.zelk").read_bytes()
