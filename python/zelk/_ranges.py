"""Random access to an archive through byte-range reads.

`ArchiveRanges` is the protocol every remote reader follows: the footer
index from a fetched tail (at most two fetches), then one range per coded
stream of a row group, checked against the footer's CRC-32C before it is
decoded. Subclasses supply `_fetch(start, end)` and `_file_size()` (and may
fetch the tail in one request that also tells the length).
`StoreArchive` reads through any fsspec store (``s3://``, ``gs://``,
``https://``, ``file://`` ...) or an fsspec file object.
"""

from __future__ import annotations

import os
from typing import Any, List, Mapping, NamedTuple, Optional, Sequence

from . import _zelk

#: The tail fetched first: enough for the footer of most archives.
DEFAULT_TAIL = 65536

_DECODERS = {
    "names": _zelk.decode_names_bytes,
    "sequence": _zelk.decode_sequences_bytes,
}


class Record(NamedTuple):
    """One read of a row group fetched by ranges (`read_block` on a URL)."""

    name: bytes
    sequence: bytes
    quality: bytes

    def __len__(self) -> int:
        return len(self.sequence)


class ArchiveRanges:
    """The footer index and the coded streams of one archive, fetched as
    byte ranges; `requests` counts the fetches made."""

    def __init__(self, *, tail_bytes: int = DEFAULT_TAIL) -> None:
        self.tail_bytes = tail_bytes
        self.requests = 0
        #: The fetched tail the index came from, and the archive's length.
        self.tail: Optional[tuple[bytes, int]] = None
        self._index: Optional[_zelk.Index] = None

    def _fetch(self, start: int, end: int) -> bytes:
        """Bytes [start, end) of the archive in one request."""
        raise NotImplementedError

    def _file_size(self) -> int:
        raise NotImplementedError

    def _fetch_tail(self, length: int) -> tuple[bytes, int]:
        """The last `length` bytes (all, if shorter) and the archive's length."""
        size = self._file_size()
        return self._fetch(max(0, size - length), size), size

    @property
    def size(self) -> int:
        """The archive's length in bytes."""
        return self._file_size()

    def index(self) -> _zelk.Index:
        """The footer row-group index, fetched from the tail on first use."""
        need: Optional[int] = self.tail_bytes
        # A short tail is answered with the exact length to refetch, so this
        # ends after at most one more fetch.
        while self._index is None:
            assert need is not None
            tail, size = self._fetch_tail(need)
            self._index, need = _zelk.parse_index_suffix(tail, size)
            self.tail = (tail, size)
        return self._index

    def adopt_tail(self, tail: bytes, size: int) -> None:
        """Takes the index from a tail fetched before (`tail` of another
        reader of the same archive), with no fetch."""
        index, need = _zelk.parse_index_suffix(tail, size)
        if index is None:
            raise ValueError(f"the tail holds {len(tail)} bytes; the footer needs {need}")
        self._index, self.tail = index, (tail, size)

    def fetch_stream(self, group: int, stream: str) -> bytes:
        """The coded bytes of one stream of one row group, CRC-checked."""
        index = self.index()
        start, end = index.stream_range(group, stream)
        coded = self._fetch(start, end) if end > start else b""
        index.verify_stream(group, stream, coded)
        return coded

    def read_names(self, group: int) -> List[bytes]:
        return _zelk.decode_names_bytes(self.fetch_stream(group, "names"))

    def read_sequences(self, group: int) -> List[bytes]:
        return _zelk.decode_sequences_bytes(self.fetch_stream(group, "sequence"))

    def read_qualities(self, group: int, sequences: Optional[Sequence[bytes]] = None) -> List[bytes]:
        """The qualities of a row group; coded against the bases, they need
        the sequences (fetched unless given)."""
        coded = self.fetch_stream(group, "quality")
        seq = None
        if _zelk.quality_needs_sequence_bytes(coded):
            seq = b"".join(self.read_sequences(group) if sequences is None else sequences)
        return _zelk.decode_qualities_bytes(coded, seq)

    def read_streams(self, group: int, streams: Sequence[str]) -> dict[str, List[bytes]]:
        """The decoded `streams` ("names", "sequence", "quality") of a row
        group, one fetch each (the bases once even when qualities need them)."""
        out: dict[str, List[bytes]] = {}
        for stream in ("names", "sequence"):
            if stream in streams:
                out[stream] = _DECODERS[stream](self.fetch_stream(group, stream))
        if "quality" in streams:
            out["quality"] = self.read_qualities(group, out.get("sequence"))
        return out

    def read_block(self, group: int) -> List[Record]:
        streams = self.read_streams(group, ("names", "sequence", "quality"))
        return [Record(*fields) for fields in zip(streams["names"], streams["sequence"], streams["quality"])]


class StoreArchive(ArchiveRanges):
    """An archive on an fsspec store: a URL (with `storage_options` for its
    filesystem) or an open fsspec file. Each range is one `cat_file` call."""

    def __init__(self, source: Any, *, tail_bytes: int = DEFAULT_TAIL,
                 storage_options: Optional[Mapping[str, Any]] = None) -> None:
        super().__init__(tail_bytes=tail_bytes)
        import fsspec  # type: ignore[import-untyped,unused-ignore]

        if isinstance(source, str):
            self.fs, self.path = fsspec.core.url_to_fs(source, **dict(storage_options or {}))
        else:
            self.fs, self.path = source.fs, source.path
        self._size: Optional[int] = getattr(source, "size", None) if not isinstance(source, str) else None

    def _file_size(self) -> int:
        if self._size is None:
            self.requests += 1
            self._size = int(self.fs.size(self.path))
        return self._size

    def _fetch(self, start: int, end: int) -> bytes:
        self.requests += 1
        data: bytes = self.fs.cat_file(self.path, start=start, end=end)
        if len(data) != end - start:
            raise OSError(f"{self.path}: asked for bytes {start}-{end - 1}, got {len(data)} bytes")
        return data

    def open(self) -> Any:
        """A file object over the whole archive, for operations that read it
        from start to end."""
        return self.fs.open(self.path, "rb")

    @property
    def local_path(self) -> Optional[str]:
        """The path when the store is the local filesystem."""
        protocol = self.fs.protocol
        protocols = (protocol,) if isinstance(protocol, str) else protocol
        return self.path if "file" in protocols or "local" in protocols else None


def is_store_source(source: object) -> bool:
    """Whether `source` is a URL or an fsspec file rather than a path,
    bytes or a plain file object."""
    if isinstance(source, str):
        return "://" in source
    return hasattr(source, "fs") and hasattr(source, "path") and not isinstance(source, (bytes, os.PathLike))
