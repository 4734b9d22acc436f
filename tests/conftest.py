import pathlib

import pytest

SHARED_DATA = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data"


def read_fastq(path, limit=None):
    """(name, sequence, quality) triples of a four-line FASTQ file."""
    records = []
    with open(path, "rb") as handle:
        while limit is None or len(records) < limit:
            header = handle.readline()
            if not header:
                break
            sequence = handle.readline().rstrip(b"\n")
            handle.readline()
            quality = handle.readline().rstrip(b"\n")
            records.append((header[1:].rstrip(b"\n"), sequence, quality))
    return records


@pytest.fixture
def shared_fastq():
    """Returns a loader for a file under the shared data folder, skipping
    the test when that folder is absent."""

    def load(relative, limit=None):
        path = SHARED_DATA / relative
        if not path.exists():
            pytest.skip(f"shared data {relative} not available")
        return read_fastq(path, limit)

    return load
