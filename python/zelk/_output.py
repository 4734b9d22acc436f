"""Output files that never lose data: an output is never one of the inputs,
never replaces an existing file unless asked, and never exists half
written. The data goes to a temporary file beside the destination, which is
renamed over it only when complete and removed on any failure or interrupt.
"""

from __future__ import annotations

import errno
import os
import secrets
import stat
from types import TracebackType
from typing import IO, Iterable, Optional, Type, Union

from . import _zelk

PathArg = Union[str, "os.PathLike[str]"]


def _stat_of(source: object) -> Optional[os.stat_result]:
    """The file behind a path or an open file object; None for anything else
    (bytes, in-memory streams) or a file that cannot be examined."""
    try:
        if isinstance(source, (str, os.PathLike)):
            return os.stat(source)
        fileno = getattr(source, "fileno", None)
        return os.fstat(fileno()) if callable(fileno) else None
    except (OSError, ValueError):  # io.UnsupportedOperation is both
        return None


def check_output(dest: PathArg, *, overwrite: bool = False, inputs: Iterable[object] = ()) -> bool:
    """Refuses `dest` when it is one of `inputs` (through any link), a
    directory, or, unless `overwrite`, an existing file. Returns whether
    `dest` is a device or pipe (such as /dev/null), which is written in
    place: it holds no file to lose or leave half written."""
    dest_stat = _stat_of(dest)
    if dest_stat is None:
        if not overwrite and os.path.lexists(dest):  # a dangling link
            raise FileExistsError(errno.EEXIST, "already exists", os.fspath(dest))
        return False
    if stat.S_ISDIR(dest_stat.st_mode):
        raise IsADirectoryError(errno.EISDIR, "is a directory", os.fspath(dest))
    for source in inputs:
        source_stat = _stat_of(source)
        if source_stat is not None and os.path.samestat(source_stat, dest_stat):
            raise ValueError(f"{os.fspath(dest)}: is the input file; refusing to write over it")
    if not stat.S_ISREG(dest_stat.st_mode):
        return True
    if not overwrite:
        raise FileExistsError(errno.EEXIST, "already exists", os.fspath(dest))
    return False


class OutputFile:
    """A file to be created at `dest`, written under a temporary name in the
    same directory (`temp`). `commit()` renames it into place; `discard()`
    removes it. As a context manager it commits on success and discards on
    any exception, KeyboardInterrupt included. A device or pipe is written
    in place (`temp` is `dest`) and left alone by both. A link is written
    through: the file it names is replaced, the link stays (so /dev/stdout
    redirected to a file names that file, never the link)."""

    def __init__(self, dest: PathArg, *, overwrite: bool = False, inputs: Iterable[object] = ()) -> None:
        self.dest = os.fspath(dest)
        self.in_place = check_output(self.dest, overwrite=overwrite, inputs=inputs)
        self._final = os.path.realpath(self.dest)
        self.temp = self.dest
        directory, name = os.path.split(self._final)
        while not self.in_place:
            self.temp = os.path.join(directory, f".{name}.{secrets.token_hex(4)}.tmp")
            try:
                # 0o666 so that the umask, not the temporary name, decides
                # the mode the finished file keeps.
                os.close(os.open(self.temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
                break
            except FileExistsError:
                continue
            except OSError as error:
                raise type(error)(error.errno, error.strerror, self.dest) from None

    def open(self) -> IO[bytes]:
        return open(self.temp, "wb")

    def commit(self) -> None:
        if not self.in_place:
            os.replace(self.temp, self._final)

    def discard(self) -> None:
        if self.in_place:
            return
        try:
            os.unlink(self.temp)
        except FileNotFoundError:
            pass

    def __enter__(self) -> OutputFile:
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        if exc_type is None:
            self.commit()
        else:
            self.discard()


def decompress_to_path(source: Union[bytes, PathArg, IO[bytes]], dest: PathArg, *, threads: int = 0,
                       fasta: bool = False, overwrite: bool = False) -> int:
    """Decompress an archive to interleaved FASTQ (or, with `fasta=True`,
    single-line FASTA without decoding qualities) at `dest`; returns the read
    count. `dest` is written under a temporary name and renamed into place
    when complete, so a failed or interrupted call leaves nothing behind. It
    must not be the archive itself, and must not exist unless `overwrite`."""
    with OutputFile(dest, overwrite=overwrite, inputs=[source]) as output:
        return _zelk.decompress_to_path(source, output.temp, threads=threads, fasta=fasta)

