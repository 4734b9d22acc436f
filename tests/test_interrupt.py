"""Ctrl-C reaches Python while a decode is still working."""
import _thread
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
