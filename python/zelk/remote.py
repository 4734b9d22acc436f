"""Reading archives over HTTP with byte-range requests.

The footer index comes from the archive's tail (at most two requests); each
column of a row group is then one ``Range`` request, checked against the
footer's CRC-32C before it is decoded.
"""

from __future__ import annotations

import re
import urllib.request
from typing import Mapping, Optional

from . import _zelk

_CONTENT_RANGE = re.compile(r"bytes (\d+)-(\d+)/(\d+)")


class RemoteArchive:
    """An archive at ``url`` on a server that honours ``Range`` requests."""

    def __init__(self, url: str, *, tail_bytes: int = 65536, timeout: float = 30.0,
                 headers: Optional[Mapping[str, str]] = None) -> None:
        self.url = url
        self.tail_bytes = tail_bytes
        self.timeout = timeout
        self.headers = dict(headers or {})
        self.requests = 0
        self._index: Optional[_zelk.Index] = None
        self._size: Optional[int] = None

    def _get(self, range_header: str) -> bytes:
        request = urllib.request.Request(self.url, headers={**self.headers, "Range": range_header})
        self.requests += 1
        with urllib.request.urlopen(request, timeout=self.timeout) as response:
            body: bytes = response.read()
            if response.status != 206:
                raise OSError(f"{self.url}: server ignored the Range request (status {response.status})")
            match = _CONTENT_RANGE.fullmatch(response.headers.get("Content-Range", ""))
            if not match:
                raise OSError(f"{self.url}: missing or malformed Content-Range")
            self._size = int(match.group(3))
        return body

    @property
    def size(self) -> int:
        """The archive's length in bytes (known after the first request)."""
        self.index()
        assert self._size is not None
        return self._size

    def index(self) -> _zelk.Index:
        """The footer row-group index, fetched from the tail on first use."""
        need: Optional[int] = self.tail_bytes
        # A short tail is answered with the exact length to refetch, so this
        # ends after at most two more requests.
        while self._index is None:
            tail = self._get(f"bytes=-{need}")
            assert self._size is not None  # every answer states the length
            self._index, need = _zelk.parse_index_suffix(tail, self._size)
        return self._index

    def fetch_stream(self, group: int, stream: str) -> bytes:
        """The coded bytes of one stream of one row group, CRC-checked."""
        index = self.index()
        start, end = index.stream_range(group, stream)
        coded = self._get(f"bytes={start}-{end - 1}") if end > start else b""
        index.verify_stream(group, stream, coded)
        return coded

    def read_names(self, group: int) -> list[bytes]:
        return _zelk.decode_names_bytes(self.fetch_stream(group, "names"))

    def read_sequences(self, group: int) -> list[bytes]:
        return _zelk.decode_sequences_bytes(self.fetch_stream(group, "sequence"))

    def read_qualities(self, group: int) -> list[bytes]:
        coded = self.fetch_stream(group, "quality")
        seq = None
        if _zelk.quality_needs_sequence_bytes(coded):
            seq = b"".join(self.read_sequences(group))
        return _zelk.decode_qualities_bytes(coded, seq)
