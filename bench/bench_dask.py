"""Scale-out figures for zelk.dask, on this machine's loopback:

- bytes fetched by a names-only scan over HTTP, against the archives' size;
- a full sequence scan of 8 archives with 1 and 2 worker processes;
- distributed (1 and 2 workers) against single-process compression of the
  largest real set;
- on paper: 1,000 archives of 10 GB on 100 workers, from those rates.

Run by `make bench` after the C++ runner; needs the shared data set.
"""

import logging
import pathlib
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
DATA = ROOT.parent / "shared" / "data" / "illumina"
sys.path.insert(0, str(ROOT / "tests"))


def main() -> int:
    try:
        from distributed import Client, LocalCluster
        import zelk
        import zelk.dask
        from servers import RangeServer
    except ImportError as error:
        print(f"bench_dask: skipped ({error})")
        return 0
    largest = DATA / "nextseq_dropseq_10cells.fastq"
    if not largest.exists():
        print("bench_dask: skipped (shared data not available)")
        return 0

    with tempfile.TemporaryDirectory() as scratch:
        work = pathlib.Path(scratch)
        single_seconds = {}
        for threads in (1, 2):
            start = time.perf_counter()
            zelk.compress(str(largest), work / f"single{threads}.zelk", threads=threads)
            single_seconds[threads] = time.perf_counter() - start
        archive = (work / "single1.zelk").read_bytes()
        files = {f"a{i}.zelk": archive for i in range(8)}
        server = RangeServer(files).start()
        urls = [server.url(name) for name in files]
        try:
            print(f"archives: 8 x {len(archive) / 1e6:.1f} MB ({largest.name}, "
                  f"{largest.stat().st_size / 1e6:.1f} MB of FASTQ each)")
            for workers in (1, 2):
                with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=logging.ERROR) as cluster, \
                        Client(cluster) as client:
                    client.run(lambda: __import__("zelk.dask"))  # imports off the clock
                    server.log.clear()
                    start = time.perf_counter()
                    zelk.dask.read_zelk(urls, streams="names").name.map(len, meta=("name", "int64")).sum().compute()
                    names_seconds = time.perf_counter() - start
                    fetched = sum(size for _, _, size in server.log)
                    start = time.perf_counter()
                    bases = zelk.dask.read_zelk(urls, streams="sequence").sequence.map(
                        len, meta=("sequence", "int64")).sum().compute()
                    scan_seconds = time.perf_counter() - start
                    start = time.perf_counter()
                    zelk.dask.compress(str(largest), str(work / f"d{workers}.zelk"), client=client,
                                       split_bytes=16 << 20)
                    compress_seconds = time.perf_counter() - start
                    same = (work / f"d{workers}.zelk").read_bytes() == archive
                    print(f"{workers} worker(s): names-only scan {names_seconds:.2f} s, fetched "
                          f"{fetched / 1e6:.2f} MB of {8 * len(archive) / 1e6:.1f} MB "
                          f"({100 * fetched / (8 * len(archive)):.1f}%); sequence scan {scan_seconds:.2f} s "
                          f"({bases / 1e6:.0f} Mbases, {8 * len(archive) / 1e6 / scan_seconds:.1f} MB/s of archive); "
                          f"compress {compress_seconds:.2f} s vs single-process {single_seconds[workers]:.2f} s "
                          f"with {workers} thread(s)"
                          f"{'' if same else ' (ARCHIVE DIFFERS)'}")
                    rate = largest.stat().st_size / compress_seconds / workers  # FASTQ bytes/s per worker
                    scan_rate = 8 * len(archive) / scan_seconds / workers
            total = 1000 * 10e9
            print(f"projection, 1,000 x 10 GB of FASTQ on 100 workers at the 2-worker rates "
                  f"({rate / 1e6:.1f} MB/s of FASTQ and {scan_rate / 1e6:.1f} MB/s of archive per worker): "
                  f"compress {total / (100 * rate) / 3600:.1f} h, i.e. {total / rate / 3600:.0f} worker-hours; "
                  f"a full sequence scan of the archives ({total * len(archive) / largest.stat().st_size / 1e12:.1f} "
                  f"TB) {total * len(archive) / largest.stat().st_size / (100 * scan_rate) / 3600:.1f} h")
        finally:
            server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
