"""Reading archives over HTTP with byte-range requests.

The footer index comes from the archive's tail (at most two requests); each
column of a row group is then one ``Range`` request, checked against the
footer's CRC-32C before it is decoded.
"""

import re
import urllib.request

from . import _zelk

_CONTENT_RANGE = re.compile(r"bytes (\d+)-(\d+)/(\d+)")


class RemoteArchive:
    """An archive at ``url`` on a server that honours ``Range`` requests."""

    def __init__(self, url, *, tail_bytes=65536, timeout=30.0, headers=None):
        self.url = url
        self.tail_bytes = tail_bytes
        self.timeout = timeout
        self.headers = dict(headers or {})
        self.requests = 0
        self._index = None
        self._size = None

    def _get(self, range_header):
        request = urllib.request.Request(self.url, headers={**self.headers, "Range": range_header})
        self.requests += 1
        with urllib.request.urlopen(request, timeout=self.timeout) as response:
            body = response.read()
            if response.status != 206:
                raise OSError(f"{self.url}: server ignored the Range request (status {response.status})")
            match = _CONTENT_RANGE.fullmatch(response.headers.get("Content-Range", ""))
            if not match:
                raise OSError(f"{self.url}: missing or malformed Content-Range")
            self._size = int(match.group(3))
        return body

    @property
    def size(self):
        """The archive's length in bytes (known after the first request)."""
        if self._size is None:
            self.index()
        return self._size

    def index(self):
        """The footer row-group index, fetched from the tail on first use."""
        if self._index is None:
            index, need = _zelk.parse_index_suffix(self._get(f"bytes=-{self.tail_bytes}"), self._size)
            # A short tail is answered with the exact length to refetch, so
            # this ends after at most two more requests.
            while index is None:
                index, need = _zelk.parse_index_suffix(self._get(f"bytes=-{need}"), self._size)
            self._index = index
        return self._index

    def fetch_stream(self, group, stream):
        """The coded bytes of one stream of one row group, CRC-checked."""
        index = self.index()
        start, end = index.stream_range(group, stream)
        coded = self._get(f"bytes={start}-{end - 1}") if end > start else b""
        index.verify_stream(group, stream, coded)
        return coded

    def read_names(self, group):
        return _zelk.decode_names_bytes(self.fetch_stream(group, "names"))

    def read_sequences(self, group):
        return _zelk.decode_sequences_bytes(self.fetch_stream(group, "sequence"))

    def read_qualities(self, group):
        coded = self.fetch_stream(group, "quality")
        seq = None
        if _zelk.quality_needs_sequence_bytes(coded):
            seq = b"".join(self.read_sequences(group))
        return _zelk.decode_qualities_bytes(coded, seq)
