"""Writing archives: `compress` for FASTQ files and `Writer` for records
from Python. Both stream: blocks are encoded as they fill and written out at
once, so memory stays bounded by a few blocks whatever the input's size.
"""

from __future__ import annotations

import itertools
import os
import re
import zlib
from types import TracebackType
from typing import IO, Any, Callable, Iterable, List, Optional, Sequence, Tuple, Type, Union

from . import _zelk_writer
from ._output import OutputFile, PathArg, check_output

Text = Union[str, bytes]
#: Where an archive goes: a path, or a binary file object (written, not closed).
Destination = Union[PathArg, IO[bytes]]
#: FASTQ text: a path, the bytes themselves, or a binary file object.
FastqSource = Union[PathArg, bytes, IO[bytes]]

_RECORD_BATCH = 4096


def _level_options(level: int) -> dict[str, int]:
    """Codec choices for a `level` from 1 to 9. 1 to 3 use a short sequence
    context without the hashed tier and pick the quality model by read length
    (fastest to write and read); 4 to 6 choose the context model by trial and
    the smaller frequency quality model, and where its offsets start, on a
    trial sample of every block; 7 and 8 add the overlap codec on contigs
    polished from the block's reads, and the mixing quality model where it
    saves 4 % (it decodes at a third of the speed or less); 9 takes the
    smallest whatever its decode speed. Every level tries LZ on the bases,
    and levels above 3 tiles too."""
    if not 1 <= level <= 9:
        raise ValueError(f"level must be 1 to 9, not {level}")
    return {"level": level}


class Writer:
    """An archive written record by record.

    `dest` is a path or a binary file object. A path is written under a
    temporary name in its directory and appears only when the archive is
    complete (`close()`, or the end of a `with` block); if the block ends
    with an exception the temporary file is removed. An existing file is
    refused unless `overwrite`. A file object is written and left open.

    Records are (name, sequence, quality), each `str` or `bytes`; the name
    is the header line without its '@'. `level` (1 to 9) trades speed for
    size; `threads` blocks are encoded at once (0: one per processor);
    `block_reads` sets the reads per row group (default: about 8 Mbases).
    `members` records how many interleaved reads form one slot (2 for
    paired reads written R1, R2, R1, R2, ...) and `labels` names them.

    `layout="reordered"` writes the globally reordered layout: reads that
    overlap are placed together and coded against each other, which shrinks
    the sequences of deep sets several times over. It holds every read
    until `close()` (about the FASTQ size in memory, plus the reorderer's
    index), and writes nothing before. `keep_order` (default True) stores
    the permutation back to the input order; without it reads come back in
    the stored order. Further options of that layout (`reorder_version`,
    `name_template`, `reference`, `reference_method`) pass through
    `layout_options`.
    """

    def __init__(self, dest: Destination, *, overwrite: bool = False, level: int = 5, threads: int = 0,
                 block_reads: Optional[int] = None, members: int = 1,
                 labels: Optional[Sequence[Text]] = None, layout: str = "plain",
                 **layout_options: Any) -> None:
        if layout not in ("plain", "reordered"):
            raise ValueError(f"layout must be 'plain' or 'reordered', not {layout!r}")
        if layout == "plain" and layout_options:
            raise TypeError(f"options of the reordered layout need layout='reordered': {', '.join(layout_options)}")
        self._stream = _zelk_writer.ArchiveStream(threads=threads, block_reads=block_reads, members=members,
                                                  labels=labels, layout=layout, **layout_options,
                                                  **_level_options(level))
        self._target: Optional[OutputFile] = None
        self._file: IO[bytes]
        if isinstance(dest, (str, os.PathLike)):
            self._target = OutputFile(dest, overwrite=overwrite)
            try:
                self._file = self._target.open()
            except BaseException:
                self._target.discard()
                raise
        else:
            self._file = dest
        self._closed = False
        #: Records written so far.
        self.reads = 0

    def write(self, name: Text, sequence: Text, quality: Text) -> None:
        """Add one record."""
        self._stream.add(name, sequence, quality)
        self.reads += 1
        self._flush()

    def write_records(self, records: Iterable[Tuple[Text, Text, Text]]) -> None:
        """Add every (name, sequence, quality) record of an iterable."""
        iterator = iter(records)
        while batch := list(itertools.islice(iterator, _RECORD_BATCH)):
            self.reads += self._stream.add_records(batch)
            self._flush()

    def close(self) -> None:
        """Write the last block, the footer and the trailer, and put a path
        destination in place. Further calls do nothing."""
        if self._closed:
            return
        self._closed = True
        try:
            self._file.write(self._stream.finish())
            if self._target is not None:
                self._file.close()
                self._target.commit()
        except BaseException:
            self._abandon()
            raise

    def __enter__(self) -> Writer:
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        if exc_type is None:
            self.close()
        elif not self._closed:
            self._closed = True
            self._abandon()

    def _write_fastq(self, inputs: List[_zelk_writer.FastqInput],
                     progress: Optional[Callable[[int, int], object]]) -> None:
        while added := self._stream.add_fastq(inputs):
            self.reads += added
            self._flush()
            if progress is not None:
                progress(self.reads, sum(source.bytes_read for source in inputs))

    def _flush(self) -> None:
        produced = self._stream.take()
        if produced:
            self._file.write(produced)

    def _abandon(self) -> None:
        if self._target is not None:
            self._file.close()
            self._target.discard()


def compress(source: Union[FastqSource, List[FastqSource], Tuple[FastqSource, ...]], dest: Destination, *,
             overwrite: bool = False,
             level: int = 5, threads: int = 0, block_reads: Optional[int] = None,
             labels: Optional[Sequence[Text]] = None,
             progress: Optional[Callable[[int, int], object]] = None,
             layout: str = "plain", **layout_options: Any) -> int:
    """Compress FASTQ into an archive at `dest`; returns the read count.

    `source` is a path, `bytes` or a binary file object holding FASTQ:
    plain, gzip or BGZF; four-line or wrapped over several lines (normalised
    to four-line records); LF or CRLF line ends (CR is dropped). Text after
    the '+' is dropped too (`Info.plus_normalized` records it). FASTA,
    zstd, bzip2, xz and zelk archives are refused with a message saying so.

    A list or tuple of sources are mates (R1 and R2, or more) interleaved
    into one archive, one member each, which must hold as many records;
    `labels` names the members (default for paths: the part of the file
    names that tells them apart, such as R1 and R2).

    `dest`, `overwrite`, `level`, `threads`, `block_reads`, `layout` and
    the reordered layout's options are as for `Writer`; a path that is one
    of the inputs is always refused.
    `progress(reads, bytes_read)` is called after each batch of blocks.
    """
    sources: List[FastqSource] = list(source) if isinstance(source, (list, tuple)) else [source]
    if not sources:
        raise ValueError("compress() requires at least one source")
    if isinstance(dest, (str, os.PathLike)):
        check_output(dest, overwrite=overwrite, inputs=sources)
    for item in sources:
        refuse_non_fastq(item)
    inputs = [_zelk_writer.FastqInput(item, label=_label_of(item)) for item in sources]
    paths = [os.fspath(item) for item in sources if isinstance(item, (str, os.PathLike))]
    if labels is None and len(sources) > 1 and len(paths) == len(sources):
        labels = mate_labels(paths)
    with Writer(dest, overwrite=overwrite, level=level, threads=threads, block_reads=block_reads,
                members=len(inputs), labels=labels, layout=layout, **layout_options) as writer:
        writer._write_fastq(inputs, progress)
    return writer.reads


def mate_labels(paths: Sequence[str]) -> List[str]:
    """Labels for interleaved members from their file names: the first part
    (between '.', '_' and '-') that differs in each, such as R1 and R2 of
    `s_R1.fq.gz` and `s_R2.fq.gz`; else 1, 2, ..."""
    parts = [re.split(r"[._-]", os.path.basename(path)) for path in paths]
    for column in zip(*parts):
        if len(set(column)) == len(column) and all(1 <= len(label.encode()) <= 15 for label in column):
            return list(column)
    return [str(number) for number in range(1, len(paths) + 1)]


def _label_of(source: object) -> Optional[str]:
    """What messages call a source: its path, or a file object's name."""
    if isinstance(source, (str, os.PathLike)):
        return str(os.fspath(source))
    name = getattr(source, "name", None)
    return name if isinstance(name, str) else None


_FOREIGN_STARTS = (
    (b"\x28\xb5\x2f\xfd", "zstd-compressed"),
    (b"BZh", "bzip2-compressed"),
    (b"\xfd7zXZ\x00", "xz-compressed"),
)


def describe_non_fastq(head: bytes) -> Optional[str]:
    """What input starting with `head` is when it cannot be FASTQ, or None."""
    if head.startswith(b"\x1f\x8b"):
        try:
            inner = describe_non_fastq(zlib.decompressobj(31).decompress(head, 64))
        except zlib.error:
            return None  # the reader reports the damaged gzip itself
        return f"gzip-compressed {inner}" if inner else None
    if head.startswith(b"ZELK"):
        return "a zelk archive, not FASTQ (use zelk decompress)"
    if head.startswith(b">"):
        return "FASTA, not FASTQ (an archive needs qualities)"
    for magic, kind in _FOREIGN_STARTS:
        if head.startswith(magic):
            return f"{kind}; zelk reads plain, gzip or BGZF FASTQ (decompress it first)"
    return None


def refuse_non_fastq(source: object) -> None:
    """Raises ValueError naming what `source` is when its first bytes show it
    cannot be FASTQ. Sources that cannot be looked at without consuming them
    are left to the reader."""
    if isinstance(source, bytes):
        head = source[:4096]
    elif isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as file:
            head = file.read(4096)
    elif callable(getattr(source, "peek", None)):
        head = source.peek(4096)[:4096]  # type: ignore[attr-defined]
    else:
        return
    what = describe_non_fastq(head)
    if what:
        label = _label_of(source)
        raise ValueError(f"{label}: {what}" if label else what)

