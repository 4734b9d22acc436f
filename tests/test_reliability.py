"""Damaged input, many threads and processes, abandoned readers, shutdown."""
import concurrent.futures
import multiprocessing
import os
import random
import subprocess
import sys
import threading

import pytest

import _zelk
import _zelk_writer as writer
from conftest import SHARED_DATA, read_fastq
from process_state import HAS_PROC, fds_open_on, open_fd_count, thread_ids, threads_left_since

SANITIZED = "ZELK_SANITIZED" in os.environ


def records_of(platform_reads):
    return [(b"%s/%d" % (platform_reads, i), (b"ACGTTGCAAC" * 30)[: 60 + i % 40], (b"IIIF#&?5" * 20)[: 60 + i % 40])
            for i in range(400)]


REAL_SETS = {"illumina": "illumina/hiseq2500_seqkit_R1.fastq", "nanopore": "ont/cdna_seqkit_pcs109_5k.fastq",
             "pacbio": "pacbio/ccs_sequel_dada2_16s.fastq"}


def mgi_records():
    return [(b"V350012345L2C001R00%d/1" % (100000 + i), (b"ACGTTGCAAC" * 12)[: 80 + i % 20],
             (b"IIIF#&?5" * 15)[: 80 + i % 20]) for i in range(200)]


@pytest.fixture(scope="module")
def archives():
    # One small archive per platform the header can name: unknown, MGI
    # (synthetic names) and, where the shared data is present, Illumina,
    # Nanopore and PacBio.
    small = {"synthetic": records_of(b"read"), "mgi": mgi_records()}
    for name, relative in REAL_SETS.items():
        if (SHARED_DATA / relative).exists():
            small[name] = read_fastq(SHARED_DATA / relative, 60 if name != "illumina" else 300)
    return {name: (records, writer.write_archive(records, block_reads=len(records) // 4))
            for name, records in small.items()}


def decodes(archive):
    """Every decode path's output, or the error type it raised."""
    outcomes = []
    for run in (lambda: _zelk.decompress_to_bytes(archive, threads=2),
                lambda: [(r.name, r.sequence, r.quality) for r in _zelk.open(archive)],
                lambda: _zelk.verify(archive)):
        try:
            outcomes.append(run())
        except (_zelk.ZelkError, OSError) as error:
            outcomes.append(type(error))
    return outcomes


def test_flips_and_cuts_never_give_other_data_without_an_error(archives):
    rng = random.Random(7)
    for records, archive in archives.values():
        good = decodes(archive)
        header_len = frame_headers_end(archive)
        footer = int.from_bytes(archive[-12:-4], "little")
        positions = list(range(header_len)) + list(range(footer, len(archive)))
        positions += rng.sample(range(header_len, footer), min(60, footer - header_len))
        for position in positions:
            damaged = bytearray(archive)
            damaged[position] ^= 1 << rng.randrange(8)
            for outcome, expected in zip(decodes(bytes(damaged)), good):
                assert outcome == expected or isinstance(outcome, type), position
        for cut in rng.sample(range(1, len(archive)), 30):
            outcomes = decodes(archive[:cut])
            # Decoding never reads the footer: a cut there loses no reads,
            # and only verify must notice it.
            must_fail = outcomes if cut < footer else outcomes[2:]
            assert all(isinstance(outcome, type) for outcome in must_fail), cut
            assert all(outcome == expected or isinstance(outcome, type) for outcome, expected in zip(outcomes, good))


def frame_headers_end(archive):
    """Where the first block's payload starts: the header, and the frame
    fields that say how long the first block is, come before it."""
    return _zelk.open_index(archive).groups()[0].block_offset + 16


def test_cut_at_every_header_and_footer_byte_fails(archives):
    for _, archive in archives.values():
        for cut in range(frame_headers_end(archive)):
            assert all(isinstance(outcome, type) for outcome in decodes(archive[:cut])), cut
        # Decoding stops at the end-of-blocks marker; verify reads on into
        # the footer and must notice any cut there.
        footer = int.from_bytes(archive[-12:-4], "little")
        for cut in range(footer - 12, len(archive)):
            with pytest.raises((_zelk.ZelkError, OSError)):
                _zelk.verify(archive[:cut])


def test_eight_threads_decode_different_archives_at_once(archives):
    variants = [writer.write_archive(records_of(b"t%d" % k), block_reads=50) for k in range(8)]
    expected = [_zelk.decompress_to_bytes(archive, threads=1) for archive in variants]
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        for _ in range(3):
            assert list(pool.map(lambda a: _zelk.decompress_to_bytes(a, threads=0), variants)) == expected


def decode_in_child(archive, queue):
    queue.put(_zelk.decompress_to_bytes(archive, threads=0))


@pytest.mark.skipif(not hasattr(os, "fork") or SANITIZED, reason="needs fork, unsanitized children")
def test_fork_while_another_thread_decodes(archives):
    _, archive = archives["synthetic"]
    expected = _zelk.decompress_to_bytes(archive)
    stop = threading.Event()

    def keep_decoding():
        while not stop.is_set():
            assert _zelk.decompress_to_bytes(archive, threads=0) == expected

    busy = threading.Thread(target=keep_decoding)
    busy.start()
    try:
        context = multiprocessing.get_context("fork")
        queue = context.Queue()
        children = [context.Process(target=decode_in_child, args=(archive, queue)) for _ in range(3)]
        for child in children:
            child.start()
        results = [queue.get(timeout=60) for _ in children]
        for child in children:
            child.join(timeout=60)
            assert child.exitcode == 0
        assert results == [expected] * 3
    finally:
        stop.set()
        busy.join()


@pytest.mark.skipif(not HAS_PROC, reason="needs /proc")
def test_ten_thousand_abandoned_readers_leave_nothing_behind(tmp_path, archives):
    _, archive = archives["synthetic"]
    path = tmp_path / "a.zelk"
    path.write_bytes(archive)
    threads, fds = thread_ids(), open_fd_count()
    for i in range(10_000):
        reader = _zelk.open(path if i % 2 else archive, threads=1)
        if i % 3 == 0:
            next(iter(reader))
        del reader
    # Decode threads end on their own once their readers are gone; a loaded
    # machine may take a while to schedule them.
    assert threads_left_since(threads) == set()
    assert fds_open_on(path) == 0 and open_fd_count() <= fds


SHUTDOWN = r"""
import sys, threading, _zelk, _zelk_writer
archive = _zelk_writer.write_archive([(b"r%d" % i, b"ACGT" * 30, b"I" * 120) for i in range(3000)], block_reads=100)
class Stuck:
    def __init__(self): self.left = archive
    def read(self, n):
        if len(self.left) < len(archive) // 2:
            threading.Event().wait()  # never returns
        chunk, self.left = self.left[:n], self.left[n:]
        return chunk
idle = _zelk.open(archive)
started = iter(_zelk.open(archive)); next(started)
blocked = _zelk.open(Stuck()); next(iter(blocked))
print("ready", flush=True)
"""


@pytest.mark.skipif(SANITIZED, reason="child interpreters lack the preloaded runtime")
def test_interpreter_exit_with_live_readers_neither_hangs_nor_crashes():
    result = subprocess.run([sys.executable, "-c", SHUTDOWN], capture_output=True, text=True, timeout=60)
    assert result.stdout == "ready\n"
    assert result.returncode == 0, result.stderr
