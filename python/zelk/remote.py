"""Reading archives over HTTP with byte-range requests.

`RemoteArchive` speaks HTTP with the standard library alone: the footer
index comes from the archive's tail (at most two requests, the first of
which also tells the length); each column of a row group is then one
``Range`` request, checked against the footer's CRC-32C before it is
decoded. For other stores (S3, GCS, ...) use `StoreArchive`, or pass a URL
to `zelk.read_names` and the other reading functions.
"""

from __future__ import annotations

import re
import urllib.request
from typing import Mapping, Optional

from ._ranges import DEFAULT_TAIL, ArchiveRanges, Record, StoreArchive

__all__ = ["RemoteArchive", "StoreArchive", "Record"]

_CONTENT_RANGE = re.compile(r"bytes (\d+)-(\d+)/(\d+)")


class RemoteArchive(ArchiveRanges):
    """An archive at ``url`` on a server that honours ``Range`` requests."""

    def __init__(self, url: str, *, tail_bytes: int = DEFAULT_TAIL, timeout: float = 30.0,
                 headers: Optional[Mapping[str, str]] = None) -> None:
        super().__init__(tail_bytes=tail_bytes)
        self.url = url
        self.timeout = timeout
        self.headers = dict(headers or {})
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

    def _fetch(self, start: int, end: int) -> bytes:
        return self._get(f"bytes={start}-{end - 1}")

    def _fetch_tail(self, length: int) -> tuple[bytes, int]:
        tail = self._get(f"bytes=-{length}")
        assert self._size is not None  # every answer states the length
        return tail, self._size

    def _file_size(self) -> int:
        self.index()
        assert self._size is not None
        return self._size
