"""The reading functions of `_zelk`, also taking a URL (``s3://``,
``gs://``, ``https://``, ``file://`` ...) or an fsspec file.

Random access (`read_block`, `read_names`, ...) fetches the tail for the
footer index and one byte range per column. Operations over the whole
archive hand `_zelk` a file object (`open`, `decompress_to_bytes`) or, for
those that take a path or bytes only (`inspect`, `verify`), the local path
or the archive's bytes.
"""

from __future__ import annotations

from typing import Any, List, Mapping, Optional, Sequence, Union

from . import _zelk
from ._ranges import Record, StoreArchive, is_store_source

#: An archive: a path, bytes, a URL or an fsspec file (and a binary file
#: object where `_zelk` takes one).
AnySource = Any
StorageOptions = Optional[Mapping[str, Any]]


def _whole(source: Any, storage_options: StorageOptions, *, stream: bool) -> Any:
    """What `_zelk` reads an archive from: `source` itself unless it is a
    URL or fsspec file; then a local path, a file object (`stream`) or
    the archive's bytes."""
    if not is_store_source(source):
        return source
    store = StoreArchive(source, storage_options=storage_options)
    if store.local_path is not None:
        return store.local_path
    return store.open() if stream else store.fs.cat_file(store.path)


def open(source: AnySource, *, threads: int = 0, streams: Union[None, str, Sequence[str]] = None,
         storage_options: StorageOptions = None) -> _zelk.Reader:
    """Stream an archive's records; as `_zelk.open`, for URLs too."""
    return _zelk.open(_whole(source, storage_options, stream=True), threads=threads, streams=streams)


def decompress_to_bytes(source: AnySource, *, threads: int = 0, fasta: bool = False,
                        storage_options: StorageOptions = None) -> bytes:
    return _zelk.decompress_to_bytes(_whole(source, storage_options, stream=True), threads=threads, fasta=fasta)


def inspect(source: AnySource, *, storage_options: StorageOptions = None) -> _zelk.Info:
    """Read an archive's metadata; a remote archive is fetched whole."""
    return _zelk.inspect(_whole(source, storage_options, stream=False))


def verify(source: AnySource, *, threads: int = 0, storage_options: StorageOptions = None) -> None:
    """Check an archive end to end; a remote archive is fetched whole."""
    _zelk.verify(_whole(source, storage_options, stream=False), threads=threads)


def open_index(source: AnySource, *, storage_options: StorageOptions = None) -> _zelk.Index:
    """The footer row-group index; from the tail alone for a URL."""
    if is_store_source(source):
        return StoreArchive(source, storage_options=storage_options).index()
    return _zelk.open_index(source)


def _column(stream: str, source: AnySource, groups: Optional[Sequence[int]],
            storage_options: StorageOptions) -> List[bytes]:
    store = StoreArchive(source, storage_options=storage_options)
    chosen = range(store.index().num_groups) if groups is None else groups
    out: List[bytes] = []
    for group in chosen:
        out += store.read_streams(group, (stream,))[stream]
    return out


def read_names(source: AnySource, groups: Optional[Sequence[int]] = None, *,
               storage_options: StorageOptions = None) -> List[bytes]:
    if is_store_source(source):
        return _column("names", source, groups, storage_options)
    return _zelk.read_names(source, groups)


def read_sequences(source: AnySource, groups: Optional[Sequence[int]] = None, *,
                   storage_options: StorageOptions = None) -> List[bytes]:
    if is_store_source(source):
        return _column("sequence", source, groups, storage_options)
    return _zelk.read_sequences(source, groups)


def read_qualities(source: AnySource, groups: Optional[Sequence[int]] = None, *,
                   storage_options: StorageOptions = None) -> List[bytes]:
    if is_store_source(source):
        return _column("quality", source, groups, storage_options)
    return _zelk.read_qualities(source, groups)


def read_block(source: AnySource, group: int, *,
               storage_options: StorageOptions = None) -> Union[List[_zelk.Record], List[Record]]:
    """Decode one row group. From a URL its records are `zelk.remote.Record`
    tuples (name, sequence, quality), fetched one range per column."""
    if is_store_source(source):
        return StoreArchive(source, storage_options=storage_options).read_block(group)
    return _zelk.read_block(source, group)
