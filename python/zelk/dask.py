"""Archives beyond one machine, with Dask.

`read_zelk` reads archives on any fsspec store as a `dask.dataframe`, one
partition per row group (or run of row groups), planned from the footers
alone; `to_bag` gives the same records as a `dask.bag`. `compress` encodes
the row groups of an archive on a `dask.distributed` cluster and assembles
them into the archive the single-process writer makes, byte for byte.
"""

from __future__ import annotations

from typing import Any, Dict, Iterator, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

import dask
import dask.bag
import dask.dataframe
import numpy as np
import pandas as pd
import pyarrow as pa

from . import _zelk, _zelk_writer
from ._output import OutputFile
from ._ranges import Record, StoreArchive
from ._writer import _level_options, describe_non_fastq, mate_labels

__all__ = ["read_zelk", "to_bag", "compress"]

#: Dataframe columns of the streams, in order.
_COLUMNS = {"names": "name", "sequence": "sequence", "quality": "quality"}
_STREAM_SPELLINGS = {"names": "names", "name": "names", "sequence": "sequence", "seq": "sequence",
                     "quality": "quality", "qual": "quality"}
#: Header byte 16 holds the flags; bit 3 marks the globally reordered layout,
#: which has no row groups to split on.
_FLAGS_OFFSET, _REORDERED_FLAG = 16, 0x08

StorageOptions = Optional[Mapping[str, Any]]


# ---- Reading ------------------------------------------------------------

class _Part(NamedTuple):
    """One partition: row groups of one archive (None: the whole archive,
    read in order), the read number of its first record, and the fetched
    footer tail, so that no worker fetches the index again."""

    url: str
    groups: Optional[Tuple[int, ...]]
    first_read: int
    tail: Optional[Tuple[bytes, int]]


def _streams_of(streams: Union[str, Sequence[str]]) -> Tuple[str, ...]:
    chosen = (streams,) if isinstance(streams, str) else tuple(streams)
    try:
        picked = {_STREAM_SPELLINGS[name] for name in chosen}
    except KeyError as error:
        raise ValueError(f"unknown stream {error.args[0]!r}; choose from names, sequence, quality") from None
    if not picked:
        raise ValueError("streams must name at least one of names, sequence, quality")
    return tuple(name for name in _COLUMNS if name in picked)


def _is_reordered(store: StoreArchive) -> bool:
    header = store._fetch(0, _FLAGS_OFFSET + 1)
    return len(header) > _FLAGS_OFFSET and header[:4] == b"ZELK" and bool(header[_FLAGS_OFFSET] & _REORDERED_FLAG)


def _plan(urls: Union[str, Sequence[str]], groups_per_partition: int, storage_options: StorageOptions) -> List[_Part]:
    """The partitions of every archive, from its header's flags and its
    footer: no payload is read."""
    if groups_per_partition < 1:
        raise ValueError("groups_per_partition must be at least 1")
    parts: List[_Part] = []
    for url in [urls] if isinstance(urls, str) else list(urls):
        store = StoreArchive(url, storage_options=storage_options)
        if _is_reordered(store):
            parts.append(_Part(url, None, 0, None))
            continue
        index = store.index()
        counts = [group.read_count for group in index.groups()]
        first_reads = np.concatenate([[0], np.cumsum(counts, dtype=np.int64)])
        for first in range(0, len(counts), groups_per_partition):
            groups = tuple(range(first, min(first + groups_per_partition, len(counts))))
            parts.append(_Part(url, groups, int(first_reads[first]), store.tail))
    return parts


def _part_records(part: _Part, streams: Tuple[str, ...],
                  storage_options: StorageOptions) -> Iterator[Tuple[int, Dict[str, List[bytes]]]]:
    """(group, decoded columns) for each row group of a partition; a
    reordered archive is one run with group -1."""
    store = StoreArchive(part.url, storage_options=storage_options)
    if part.groups is None:
        columns: Dict[str, List[bytes]] = {stream: [] for stream in streams}
        with store.open() as file:
            for record in _zelk.open(file, streams=list(streams)):
                for stream in streams:
                    columns[stream].append(getattr(record, _COLUMNS[stream]))
        yield -1, columns
        return
    if part.tail is not None:
        store.adopt_tail(*part.tail)
    for group in part.groups:
        yield group, store.read_streams(group, streams)


def _binary(values: List[bytes]) -> pd.Series:
    return pd.Series(pd.arrays.ArrowExtensionArray(pa.array(values, type=pa.binary())))


def _frame(columns: Dict[str, List[bytes]], archive: List[str], groups: List[int], reads: List[int]) -> pd.DataFrame:
    data: Dict[str, pd.Series] = {_COLUMNS[stream]: _binary(values) for stream, values in columns.items()}
    data["archive"] = pd.Series(pd.arrays.ArrowExtensionArray(pa.array(archive, type=pa.string())))
    data["group"] = pd.Series(np.asarray(groups, dtype=np.int64))
    data["index"] = pd.Series(np.asarray(reads, dtype=np.int64))
    return pd.DataFrame(data)


def _load_partition(part: _Part, streams: Tuple[str, ...], storage_options: StorageOptions) -> pd.DataFrame:
    columns: Dict[str, List[bytes]] = {stream: [] for stream in streams}
    groups: List[int] = []
    for group, decoded in _part_records(part, streams, storage_options):
        count = len(next(iter(decoded.values())))
        groups += [group] * count
        for stream in streams:
            columns[stream] += decoded[stream]
    reads = list(range(part.first_read, part.first_read + len(groups)))
    return _frame(columns, [part.url] * len(groups), groups, reads)


def read_zelk(urls: Union[str, Sequence[str]], streams: Union[str, Sequence[str]] = ("names", "sequence", "quality"),
              groups_per_partition: int = 1, *, storage_options: StorageOptions = None) -> Any:
    """Archives as one `dask.dataframe`: columns `name`, `sequence` and
    `quality` (those of `streams`, as Arrow binary), `archive` (the URL),
    `group` (the row group; -1 for a globally reordered archive, which has
    none) and `index` (the read's place in its archive).

    `urls` are paths or URLs of any fsspec store (`storage_options` go to
    its filesystem). Each partition holds `groups_per_partition` row groups
    of one archive, read with one range request per column; a reordered
    archive is one partition. The graph is planned from each archive's
    header flags and footer; no payload is read until it is computed."""
    chosen = _streams_of(streams)
    parts = _plan(urls, groups_per_partition, storage_options)
    meta = _frame({stream: [] for stream in chosen}, [], [], [])
    return dask.dataframe.from_map(_load_partition, parts, streams=chosen, storage_options=storage_options,
                                   meta=meta, enforce_metadata=False)


def _bag_partition(part: _Part, streams: Tuple[str, ...], storage_options: StorageOptions) -> List[Record]:
    records: List[Record] = []
    for _, decoded in _part_records(part, streams, storage_options):
        count = len(next(iter(decoded.values())))
        empty = [b""] * count
        records += [Record(*fields) for fields in zip(*(decoded.get(stream, empty) for stream in _COLUMNS))]
    return records


def to_bag(urls: Union[str, Sequence[str]], streams: Union[str, Sequence[str]] = ("names", "sequence", "quality"),
           groups_per_partition: int = 1, *, storage_options: StorageOptions = None) -> Any:
    """The records of archives as a `dask.bag` of `zelk.remote.Record`
    (name, sequence, quality) tuples, partitioned as `read_zelk`; streams
    not chosen are empty."""
    chosen = _streams_of(streams)
    parts = _plan(urls, groups_per_partition, storage_options)
    delayed_load = dask.delayed(_bag_partition, pure=True)
    return dask.bag.from_delayed([delayed_load(part, chosen, storage_options) for part in parts])


# ---- Compressing ----------------------------------------------------------

#: Bytes of input per split: each split is scanned by one task.
DEFAULT_SPLIT_BYTES = 64 << 20
#: The head the driver checks before splitting: the input's kind, and that
#: its records are four lines (only those can be split by line counting).
_HEAD_BYTES = 1 << 16


class _Input(NamedTuple):
    url: str
    size: int
    storage_options: Dict[str, Any]

    def read(self, start: int, end: int) -> bytes:
        store = StoreArchive(self.url, storage_options=self.storage_options)
        return store._fetch(start, end) if end > start else b""


def _line_ends(data: bytes) -> np.ndarray:
    """Offsets just past each line of `data`, counting a last line without
    its line feed."""
    ends = np.flatnonzero(np.frombuffer(data, dtype=np.uint8) == 0x0A) + 1
    if data and not data.endswith(b"\n"):
        ends = np.append(ends, len(data))
    return ends


def _four_line_records(head: bytes, complete: bool) -> bool:
    """Whether `head` starts with four-line records: '@' header, bases, '+'
    line, as many qualities (a last, cut-off record is not judged)."""
    lines = head.split(b"\n")
    if not complete:
        lines = lines[:len(lines) - 1 - (len(lines) - 1) % 4]
    lines = [line.rstrip(b"\r") for line in lines]
    if lines and lines[-1] == b"":
        lines.pop()
    return len(lines) % 4 == 0 and all(
        lines[i].startswith(b"@") and lines[i + 2].startswith(b"+") and len(lines[i + 1]) == len(lines[i + 3])
        for i in range(0, len(lines), 4))


def _check_input(source: _Input) -> int:
    """Refuses input that cannot be split; returns the first read's length."""
    head = source.read(0, min(source.size, _HEAD_BYTES))
    what = describe_non_fastq(head)
    if what:
        raise ValueError(f"{source.url}: {what}")
    if head.startswith(b"\x1f\x8b"):
        raise ValueError(f"{source.url}: compressed FASTQ cannot be split; decompress it first "
                         "or use zelk.compress")
    if not _four_line_records(head, complete=len(head) == source.size):
        raise ValueError(f"{source.url}: records are not four lines each (wrapped FASTQ?) and cannot be "
                         "split; use zelk.compress")
    first_line_end = head.find(b"\n")
    second = head[first_line_end + 1:head.find(b"\n", first_line_end + 1)] if first_line_end >= 0 else b""
    return len(second.rstrip(b"\r"))


def _record_start(source: _Input, offset: int) -> int:
    """The first record that starts at or after `offset`: a line starting
    with '@' whose next line but one starts with '+' (a quality line starting
    with '@' is followed by a header and bases, never by '+')."""
    window = 1 << 16
    while True:
        data = source.read(offset - 1, min(source.size, offset - 1 + window))
        starts = np.flatnonzero(np.frombuffer(data, dtype=np.uint8) == 0x0A) + 1
        for i, start in enumerate(starts[:max(0, len(starts) - 2)]):
            third = starts[i + 2]
            if data[start:start + 1] == b"@" and data[third:third + 1] == b"+":
                return offset - 1 + int(start)
        if offset - 1 + len(data) >= source.size:
            return source.size
        window *= 2


def _split_counts(source: _Input, start: int, end: int) -> int:
    lines = len(_line_ends(source.read(start, end)))
    if lines % 4:
        raise ValueError(f"{source.url}: bytes {start}-{end - 1} hold {lines} lines, not whole four-line records")
    return lines // 4


def _record_offsets(source: _Input, start: int, end: int, records: Sequence[int]) -> List[int]:
    """Absolute offsets of the given records (numbered from the split's
    start) of the split [start, end)."""
    ends = _line_ends(source.read(start, end))
    return [start + (int(ends[4 * record - 1]) if record else 0) for record in records]


def _encode_block(sources: Sequence[_Input], ranges: Sequence[Tuple[int, int]], block: int,
                  options: Dict[str, Any]) -> Tuple[bytes, bytes, Any]:
    inputs = [_zelk_writer.FastqInput(source.read(start, end), label=f"{source.url} (block {block})", wrapped=False)
              for source, (start, end) in zip(sources, ranges)]
    return _zelk_writer.encode_block(inputs, block == 0, **options)


def _block_bounds(client: Any, source: _Input, split_bytes: int, block_slots: int) -> Tuple[int, List[int]]:
    """The records of one input, and the offsets where each block's share
    of them starts followed by the input's length. Three passes over the
    splits, each spread over the cluster: record-aligned split starts,
    record counts, then the offsets of the records that start blocks."""
    inner = range(split_bytes, source.size, split_bytes)
    starts = sorted({0, *client.gather(client.map(_record_start, [source] * len(inner), inner, pure=False))})
    splits = [(start, end) for start, end in zip(starts, starts[1:] + [source.size]) if end > start]
    counts = client.gather(client.map(_split_counts, [source] * len(splits), *zip(*splits), pure=False)) if splits else []
    firsts = np.concatenate([[0], np.cumsum(counts, dtype=np.int64)])
    wanted: List[List[int]] = [[] for _ in splits]
    for record in range(0, int(firsts[-1]), block_slots):
        split = int(np.searchsorted(firsts, record, side="right")) - 1
        wanted[split].append(record - int(firsts[split]))
    futures = [client.submit(_record_offsets, source, start, end, records, pure=False)
               for (start, end), records in zip(splits, wanted) if records]
    offsets = [offset for found in client.gather(futures) for offset in found]
    return int(firsts[-1]), offsets + [source.size]


def _same_counts(sources: Sequence[_Input], counts: Sequence[int]) -> None:
    """Mates must hold as many records each, as for the single-process writer."""
    for source, count in zip(sources[1:], counts[1:]):
        if count < counts[0]:
            raise ValueError(f"{source.url}: ends after {count} records, before {sources[0].url}")
        if count > counts[0]:
            raise ValueError(f"{source.url}: more records than {sources[0].url} ({counts[0]})")


class _Destination:
    """Where the archive goes: a local path (written under a temporary name
    and renamed into place when complete) or a URL on an fsspec store (its
    upload abandoned on failure where the store allows)."""

    def __init__(self, dest: str, overwrite: bool, inputs: Sequence[str], storage_options: Dict[str, Any]) -> None:
        import fsspec

        self.fs, path = fsspec.core.url_to_fs(dest, **storage_options)
        protocols = (self.fs.protocol,) if isinstance(self.fs.protocol, str) else self.fs.protocol
        self.local: Optional[OutputFile] = None
        if "file" in protocols or "local" in protocols:
            self.local = OutputFile(path, overwrite=overwrite, inputs=inputs)
            self.file: Any = self.local.open()
        else:
            if not overwrite and self.fs.exists(path):
                raise FileExistsError(f"{dest} already exists")
            self.file = self.fs.open(path, "wb")

    def commit(self) -> None:
        self.file.close()
        if self.local is not None:
            self.local.commit()

    def discard(self) -> None:
        if self.local is not None:
            self.file.close()
            self.local.discard()
        elif hasattr(self.file, "discard"):
            self.file.discard()


def _cluster_client(client: Any, workers: Optional[int]) -> Tuple[Any, Any]:
    """The client to use, and a local cluster made for this call (or None)."""
    import distributed

    if client is not None:
        return client, None
    if workers:
        cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                           dashboard_address=None)
        return distributed.Client(cluster), cluster
    return distributed.get_client(), None


def compress(fastq_urls: Union[str, Sequence[str]], dest: str, *, client: Any = None, workers: Optional[int] = None,
             overwrite: bool = False, level: int = 5, block_reads: Optional[int] = None,
             labels: Optional[Sequence[str]] = None, split_bytes: int = DEFAULT_SPLIT_BYTES,
             storage_options: StorageOptions = None, dest_options: StorageOptions = None) -> int:
    """Compress plain four-line FASTQ into an archive at `dest` on a Dask
    cluster; returns the read count.

    `fastq_urls` is one path or URL, or a list of mates interleaved as by
    `zelk.compress`; `dest` a path or URL; `storage_options` go to the
    inputs' filesystem and `dest_options` (default: the same) to `dest`'s. `client` is a `distributed.Client` (default: the current
    one, or a local cluster of `workers` processes made for this call).
    The inputs are cut into record-aligned splits of about `split_bytes`;
    workers count their records, find where each row group starts, and
    encode the row groups; the archive is then assembled here, in order,
    from the encoded blocks, with the whole-file CRC combined from theirs.
    With the same `level`, `block_reads` and `labels` the archive is the one
    `zelk.compress` writes, byte for byte. Gzip, BGZF and wrapped FASTQ are
    refused (they cannot be split by line counting)."""
    urls = [fastq_urls] if isinstance(fastq_urls, str) else list(fastq_urls)
    if not urls:
        raise ValueError("compress() requires at least one source")
    if split_bytes < 1:
        raise ValueError("split_bytes must be at least 1")
    if block_reads is not None and block_reads % len(urls):
        raise ValueError(f"block_reads must be a multiple of the {len(urls)} mates, so that a block holds whole slots")
    store_options = dict(storage_options or {})
    if labels is None and len(urls) > 1:
        labels = mate_labels(urls)
    options: Dict[str, Any] = dict(members=len(urls), labels=labels, block_reads=block_reads, **_level_options(level))
    client, cluster = _cluster_client(client, workers)
    try:
        sources = [_Input(url, StoreArchive(url, storage_options=store_options).size, store_options) for url in urls]
        first_length = [_check_input(source) for source in sources][0]
        per_block = _zelk_writer.block_reads_for(first_length, **options)
        bounds = [_block_bounds(client, source, split_bytes, per_block // len(urls)) for source in sources]
        _same_counts(sources, [count for count, _ in bounds])
        target = _Destination(dest, overwrite, [url for url in urls if "://" not in url],
                              dict(store_options if dest_options is None else dest_options))
        try:
            _assemble(client, sources, [offsets for _, offsets in bounds], options, target.file)
            target.commit()
        except BaseException:
            target.discard()
            raise
        return sum(count for count, _ in bounds)
    finally:
        if cluster is not None:
            client.close()
            cluster.close()


def _assemble(client: Any, sources: Sequence[_Input], offsets: Sequence[List[int]], options: Dict[str, Any],
              out: Any) -> None:
    """Encodes the blocks on the cluster, a bounded window of them at once,
    and writes header, frames in order and the archive's ending to `out`."""
    blocks = len(offsets[0]) - 1
    if blocks == 0:
        out.write(_zelk_writer.ArchiveStream(**options).finish())
        return
    window = 2 * max(1, sum(client.nthreads().values()))

    def submit(block: int) -> Any:
        ranges = [(member[block], member[block + 1]) for member in offsets]
        return client.submit(_encode_block, sources, ranges, block, options, pure=False)

    pending = [submit(block) for block in range(min(window, blocks))]
    header = b""
    summaries = []
    for block in range(blocks):
        block_header, frame, summary = pending.pop(0).result()
        if block + window < blocks:
            pending.append(submit(block + window))
        if block == 0:
            header = block_header
            out.write(header)
        out.write(frame)
        summaries.append(summary)
    out.write(_zelk_writer.archive_ending(header, summaries))
