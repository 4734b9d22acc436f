"""Ctrl-C reaches Python while a decode is still working."""
import _thread
import os
import signal
import struct
import subprocess
import sys
import threading

import pytest

import _zelk
import _zelk_writer as writer


class BlockingSource:
    """A file-like archive whose reads after the first block wait for `go`."""

    def __init__(self, data, first_block_end):
        self.data, self.position, self.first_block_end = data, 0, first_block_end
        self.go = threading.Event()
        self.gave_up = False

    def read(self, size):
        if self.position >= self.first_block_end and not self.go.is_set():
            self.gave_up = not self.go.wait(timeout=10)
        end = self.position + size
        if not self.go.is_set():  # however much is asked for, nothing past the first block yet
            end = min(end, max(self.first_block_end, self.position))
        chunk = self.data[self.position : end]
        self.position += len(chunk)
        return chunk


def test_ctrl_c_interrupts_a_waiting_reader_which_stays_usable():
    records = [(b"r%d" % i, b"ACGT" * 25, b"I" * 100) for i in range(3000)]
    archive = writer.write_archive(records, block_reads=1000)
    second_block = _zelk.open_index(archive).groups()[1].block_offset
    source = BlockingSource(archive, second_block)
    reader = _zelk.open(source, threads=1)
    # The decode thread sits in a read that will not return: the main thread
    # waits for a record that cannot come until Ctrl-C.
    timer = threading.Timer(0.2, _thread.interrupt_main)
    timer.start()
    before = []
    with pytest.raises(KeyboardInterrupt):
        for record in reader:
            before.append(record.name)
    timer.join()
    source.go.set()
    after = [record.name for record in reader]
    assert not source.gave_up, "Ctrl-C was seen only after the blocked read gave up"
    assert before + after == [name for name, _, _ in records]


WHOLE_FILE_DECODE = r"""
import os, sys, _zelk
source, function = sys.argv[1], sys.argv[2]

def bytes_read():
    with open("/proc/self/io") as io:
        return int(next(line for line in io if line.startswith("rchar:")).split()[1])

before = bytes_read()
print("decoding", flush=True)
try:
    if function == "decompress_to_path":
        _zelk.decompress_to_path(source, os.devnull, threads=2)
    else:
        _zelk.decompress_to_bytes(source, threads=2)
except KeyboardInterrupt:
    print("interrupted", bytes_read() - before, flush=True)
else:
    print("finished", flush=True)
"""


@pytest.fixture(scope="module")
def long_archive(tmp_path_factory):
    """1000 copies of one 4000-read block: a minute of decoding from 30 MB."""
    records = [(b"r%d" % i, b"ACGTTGCAAGGCTTAC" * 9, b"IIIIFFFF::##" * 12) for i in range(4000)]
    one = writer.write_archive(records, block_reads=4000)
    frame = _zelk.open_index(one).groups()[0].block_offset
    length = struct.unpack_from("<Q", one, frame + 4)[0]
    payload = one[frame + 16 : frame + 16 + length]
    path = tmp_path_factory.mktemp("interrupt") / "long.zelk"
    path.write_bytes(writer.plain_archive(one[:frame], [payload] * 1000))
    return path


def threads_of(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/task"))
    except FileNotFoundError:
        return 0


@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="needs /proc/self/io")
@pytest.mark.skipif("ZELK_SANITIZED" in os.environ, reason="child interpreters lack the preloaded runtime")
@pytest.mark.parametrize("function", ["decompress_to_path", "decompress_to_bytes"])
def test_ctrl_c_stops_a_whole_file_decode_midway(long_archive, function):
    child = subprocess.Popen([sys.executable, "-c", WHOLE_FILE_DECODE, str(long_archive), function],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "decoding\n"
        # The decode is under way once its two workers exist.
        while threads_of(child.pid) < 3 and child.poll() is None:
            threading.Event().wait(0.01)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
    status, _, read = out.partition(" ")
    assert (child.returncode, status, err) == (0, "interrupted", "")
    # Stopped between blocks, it read a few blocks ahead, not the archive.
    assert int(read) < long_archive.stat().st_size // 2
