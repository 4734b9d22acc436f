"""Sizes of the reordered layout, stream by stream, beside the plain layout
and CRAM 3.1 (samtools import, archive profile) on the short-read sets of
the shared data folder with at least 10,000 reads, and on the deep set when
it has been made (../shared/data/make-deep-set.sh, as `make bench` does, or
DEEP_SET naming the file). Run with the build on PYTHONPATH."""

import os
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import _zelk
import zelk

DATA = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data"
SETS = [
    ("hiseqx 10k", ["illumina/hiseqx_seqkit_10k.fastq"]),
    ("nextseq dropseq", ["illumina/nextseq_dropseq_10cells.fastq"]),
    ("gaiix R1+R2", ["illumina/gaiix_shortread_ERR127302_R1.fastq", "illumina/gaiix_shortread_ERR127302_R2.fastq"]),
]
CACHE = pathlib.Path(os.environ.get("XDG_CACHE_HOME", pathlib.Path.home() / ".cache"))
DEEP = pathlib.Path(os.environ.get("DEEP_SET", CACHE / "zelk" / "deep" / "saureus_hs25_150_15x.fastq"))


def sections(archive):
    """Section sizes of a reordered archive: the header's length from its
    extension records, then each framed slice in order."""
    flags = archive[16]
    pos = 25 + struct.unpack_from("<H", archive, 19)[0] + 8  # header with its extensions, then N

    def take():
        nonlocal pos
        length = struct.unpack_from("<I", archive, pos)[0]
        pos += 8 + length
        return length

    sizes = {"flips": take(), "permutation": take(), "template": take()}
    sizes["reference"] = take() if flags & 0x20 else 0
    blocks = struct.unpack_from("<I", archive, pos)[0]
    pos += 4
    sizes["sequence"] = sum(take() for _ in range(blocks))
    sizes["names"] = sizes["quality"] = 0
    for _ in range(blocks):
        sizes["names"] += take()
        sizes["quality"] += take()
    return sizes


def cram_size(paths, directory):
    if not shutil.which("samtools"):
        return None
    out = os.path.join(directory, "x.cram")
    inputs = ["-1", str(paths[0]), "-2", str(paths[1])] if len(paths) == 2 else ["-0", str(paths[0])]
    subprocess.run(["samtools", "import", *inputs, "-O", "cram,version=3.1,archive", "-o", out], check=True,
                   capture_output=True)
    return os.path.getsize(out)


def compress(paths, dest, **options):
    start = time.perf_counter()
    zelk.compress([str(p) for p in paths] if len(paths) > 1 else str(paths[0]), dest, overwrite=True, **options)
    return time.perf_counter() - start


def row(label, paths, directory):
    plain = os.path.join(directory, "plain.zelk")
    compress(paths, plain)
    info = _zelk.inspect(plain)
    cram = cram_size(paths, directory)
    print(f"{label}: {info.reads} reads; plain {os.path.getsize(plain):,} (names {info.names_bytes:,}, "
          f"sequence {info.sequence_bytes:,}, quality {info.quality_bytes:,}); "
          f"CRAM 3.1 {cram:,}" if cram else "CRAM 3.1: samtools missing")
    for keep_order in (True, False):
        archive = os.path.join(directory, "reordered.zelk")
        seconds = compress(paths, archive, layout="reordered", keep_order=keep_order)
        sizes = sections(pathlib.Path(archive).read_bytes())
        total = os.path.getsize(archive)
        versus = f", {total / cram:.3f} of CRAM" if cram else ""
        print(f"  reordered keep_order={keep_order}: {total:,}{versus} in {seconds:.1f} s; " +
              ", ".join(f"{name} {size:,}" for name, size in sizes.items() if size) +
              f"; sequence+flips+permutation {sizes['sequence'] + sizes['flips'] + sizes['permutation']:,}"
              f" vs plain sequence {info.sequence_bytes:,}")


def main():
    sets = [(label, [DATA / p for p in paths]) for label, paths in SETS]
    sets = [(label, paths) for label, paths in sets if all(p.exists() for p in paths)]
    if DEEP.exists():
        sets.append(("deep 15x", [DEEP]))
    with tempfile.TemporaryDirectory() as directory:
        for label, paths in sets:
            row(label, paths, directory)
    return 0


if __name__ == "__main__":
    sys.exit(main())
