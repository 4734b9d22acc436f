"""The zelk command-line tool: FASTQ into archives and back, with the
conventions of gzip: `-` for standard input or output, `-c`, `-f`, `-k`,
`--rm`, `-q`; messages on standard error, one line each; exit status 0 on
success, 1 after an error, 2 after a warning only, 128 + the signal's number
after an interrupt (the partial output is removed first).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import signal
import sys
import time
from types import FrameType
from typing import IO, Callable, Iterator, List, Optional, Sequence, Union

from . import __version__, _zelk, _zelk_writer
from ._output import OutputFile
from ._writer import FastqSource, compress, refuse_non_fastq

OK, ERROR, WARNING = 0, 1, 2
STDIN = "-"
STDIN_LABEL = "<stdin>"
FASTQ_SUFFIXES = (".fastq", ".fq")
_PLAIN_LABEL = re.compile(r"[A-Za-z0-9_+-][A-Za-z0-9._+-]*")
_RECORDS_BETWEEN_CHECKS = 4096


class Interrupted(Exception):
    """A SIGINT or SIGTERM arrived; raised where work can stop cleanly."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


class Warned(Exception):
    """A file was skipped for a reason that is not an error (gzip's exit 2)."""


_pending_signal: Optional[int] = None


def _on_signal(signum: int, frame: Optional[FrameType]) -> None:
    # The first signal is only noted, so that nothing is torn down in the
    # middle of a read or a write; work stops at the next check. A second
    # one stops at once.
    global _pending_signal
    if _pending_signal is not None:
        raise KeyboardInterrupt
    _pending_signal = signum


def check_interrupted() -> None:
    if _pending_signal is not None:
        raise Interrupted(_pending_signal)


def message(path: Optional[str], error: BaseException) -> str:
    """One line: the path (unless the text names it already), then what went
    wrong."""
    if isinstance(error, OSError) and error.strerror:
        if error.filename is not None:
            hint = "; use -f to overwrite" if isinstance(error, FileExistsError) else ""
            return f"{error.filename}: {error.strerror}{hint}"
        text = error.strerror
    else:
        text = str(error).replace("not an zelk container", "not a zelk archive")
    return text if path is None or text.startswith(f"{path}: ") else f"{path}: {text}"


def say(text: str) -> None:
    print(f"zelk: {text}", file=sys.stderr)


class Progress:
    """A one-line status on standard error, redrawn at most four times a
    second: reads done, MB/s, and the time left when the total is known."""

    def __init__(self, enabled: bool, label: str, total_bytes: Optional[int] = None,
                 total_reads: Optional[int] = None) -> None:
        self.enabled = enabled
        self.label = label
        self.total_bytes = total_bytes
        self.total_reads = total_reads
        self.start = time.monotonic()
        self.last = float("-inf")  # the first update always shows
        self.shown = False

    def update(self, reads: int, done_bytes: int) -> None:
        # Called between batches of work: also where an interrupt stops it.
        check_interrupted()
        now = time.monotonic()
        if not self.enabled or now - self.last < 0.25:
            return
        self.last = now
        elapsed = max(now - self.start, 1e-9)
        text = f"{self.label}: {reads:,} reads, {done_bytes / elapsed / 1e6:.1f} MB/s"
        fraction = (done_bytes / self.total_bytes if self.total_bytes
                    else reads / self.total_reads if self.total_reads else 0.0)
        if 0.0 < fraction < 1.0:
            left = int(elapsed * (1.0 - fraction) / fraction)
            text += f", {left // 60}:{left % 60:02d} left"
        sys.stderr.write(f"\r{text}\x1b[K")
        sys.stderr.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self.shown = False


def _progress(args: argparse.Namespace, label: str, **totals: Optional[int]) -> Progress:
    return Progress(not args.quiet and sys.stderr.isatty(), label, **totals)


def _file_size(path: str) -> Optional[int]:
    try:
        return os.path.getsize(path) if path != STDIN else None
    except OSError:
        return None


def _remove_inputs(paths: Sequence[str]) -> None:
    for path in paths:
        if path != STDIN:
            os.unlink(path)


# ---- compress ----------------------------------------------------------


def archive_name(fastq: str) -> str:
    """x.fastq -> x.fastq.zelk; gzip's suffix goes, the archive replaces it."""
    for suffix in (".gz", ".bgz"):
        if fastq.endswith(suffix):
            fastq = fastq[: -len(suffix)]
    return fastq + ".zelk"


def _compress_target(args: argparse.Namespace) -> str:
    if args.stdout or args.output == STDIN:
        return STDIN
    if args.output:
        return str(args.output)
    if len(args.inputs) > 1:
        raise ValueError("several inputs make one archive: name it with -o (or -c)")
    return STDIN if args.inputs[0] == STDIN else archive_name(args.inputs[0])


def _compress(args: argparse.Namespace) -> int:
    if args.estimate:
        # The fast levels' short sequence context is the estimate's level 0.
        return _estimate_table(args, [args.inputs], [" + ".join(args.inputs)], level=0 if args.level <= 3 else 5)
    target = _compress_target(args)
    if args.scheduler or args.workers:
        reads = _compress_on_cluster(args, target)
        if not args.quiet:
            say(f"{reads} reads compressed into {target}")
        return OK
    if target == STDIN and sys.stdout.isatty() and not args.force:
        raise ValueError("refusing to write archive data to a terminal (use -o, redirect, or -f)")
    sources: List[FastqSource] = [sys.stdin.buffer if path == STDIN else path for path in args.inputs]
    progress = _progress(args, "compress", total_bytes=sum(_file_size(path) or 0 for path in args.inputs) or None)
    try:
        reads = compress(sources if len(sources) > 1 else sources[0],
                         sys.stdout.buffer if target == STDIN else target,
                         overwrite=args.force, level=args.level, threads=args.threads,
                         block_reads=args.block_reads, progress=progress.update, **_layout_options(args))
        if target == STDIN:
            sys.stdout.buffer.flush()
    except OSError as error:
        if error.filename is None and error.strerror and not isinstance(error, BrokenPipeError):
            # A failed write (a full disk): the output is what to name.
            raise OSError(error.errno, error.strerror, STDIN_LABEL if target == STDIN else target) from None
        raise
    finally:
        progress.close()
    if args.remove:
        _remove_inputs(args.inputs)
    if not args.quiet:
        say(f"{reads} reads compressed into {'standard output' if target == STDIN else target}")
    return OK


def _layout_options(args: argparse.Namespace) -> dict[str, object]:
    if args.any_order and not args.reorder:
        raise ValueError("--any-order needs --reorder")
    if not args.reorder:
        return {}
    return {"layout": "reordered", "keep_order": not args.any_order}


def _compress_on_cluster(args: argparse.Namespace, target: str) -> int:
    """`compress --scheduler` / `--workers`: row groups encoded on a Dask
    cluster, the archive the same as without."""
    if args.reorder:
        raise ValueError("--reorder places all reads at once, on this machine: it cannot use --scheduler or --workers")
    if STDIN in args.inputs or target == STDIN:
        raise ValueError("--scheduler and --workers read named files and write a named archive (no -)")
    if args.remove:
        raise ValueError("--rm is not supported with --scheduler or --workers")
    from . import dask as zelk_dask

    client = None
    if args.scheduler:
        import distributed

        client = distributed.Client(args.scheduler)
    try:
        return zelk_dask.compress(args.inputs if len(args.inputs) > 1 else args.inputs[0], target, client=client,
                                  workers=args.workers, overwrite=args.force, level=args.level,
                                  block_reads=args.block_reads)
    finally:
        if client is not None:
            client.close()


# ---- decompress and cat ------------------------------------------------


def decompressed_name(archive: str, fasta: bool) -> str:
    """x.fastq.zelk -> x.fastq, x.zelk -> x.fastq (x.fasta for FASTA)."""
    if not archive.endswith(".zelk") or archive == ".zelk":
        raise Warned(f"{archive}: unknown suffix (expected .zelk) -- ignored; name the output with -o or -c")
    base = archive[: -len(".zelk")]
    for suffix in FASTQ_SUFFIXES:
        if base.endswith(suffix):
            return base[: -len(suffix)] + ".fasta" if fasta else base
    return base + (".fasta" if fasta else ".fastq")


def split_names(archive: str, stem: Optional[str], labels: Sequence[str], fasta: bool) -> List[str]:
    """One output per member: {stem}_{label}.fastq, the stem being the
    archive's name without .zelk (and .fastq) unless given. The labels come
    from the archive, so only plain ones (letters, digits, '_', '-', '+',
    '.' inside) name files; the others are numbered."""
    if stem is None:
        stem = archive[: -len(".zelk")] if archive.endswith(".zelk") else archive
        for suffix in FASTQ_SUFFIXES:
            stem = stem[: -len(suffix)] if stem.endswith(suffix) else stem
    names = [label if _PLAIN_LABEL.fullmatch(label) else str(number) for number, label in enumerate(labels, 1)]
    return [f"{stem}_{name}{'.fasta' if fasta else '.fastq'}" for name in names]


def write_whole(source: Union[str, IO[bytes]], output: IO[bytes], threads: int, fasta: bool) -> int:
    """Writes a whole archive as FASTQ (FASTA) text straight to `output`'s
    file descriptor: no record objects, and the text is written while later
    blocks decode."""
    output.flush()
    return _zelk.decompress_to_path(source, output.fileno(), threads=threads, fasta=fasta)


def write_records(records: Iterator[_zelk.Record], outputs: Sequence[IO[bytes]], fasta: bool,
                  progress: Progress) -> int:
    """Writes records as FASTQ (FASTA) text, dealing them out over `outputs`
    in turn (one output per interleaved member when splitting)."""
    count = written = 0
    members = len(outputs)
    for record in records:
        if fasta:
            text = b">%s\n%s\n" % (record.name, record.sequence)
        else:
            text = b"@%s\n%s\n+\n%s\n" % (record.name, record.sequence, record.quality)
        outputs[count % members].write(text)
        count += 1
        written += len(text)
        if count % _RECORDS_BETWEEN_CHECKS == 0:
            progress.update(count, written)
    return count


def _split_targets(args: argparse.Namespace, archive: str, to_stdout: bool) -> List[str]:
    if to_stdout or archive == STDIN:
        raise ValueError("--split writes one file per member: give the archive as a file, without -c")
    info = _zelk.inspect(archive)
    if info.group_size < 2:
        raise ValueError(f"{archive}: holds one member per read; nothing to split")
    labels = info.member_labels or [str(n) for n in range(1, info.group_size + 1)]
    return split_names(archive, args.output, labels, args.fasta)


def _decompress_one(args: argparse.Namespace, archive: str, to_stdout: bool) -> None:
    if args.split:
        targets = _split_targets(args, archive, to_stdout)
    else:
        targets = [] if to_stdout else [args.output or decompressed_name(archive, args.fasta)]
    source: Union[str, IO[bytes]] = sys.stdin.buffer if archive == STDIN else archive
    progress = _progress(args, "decompress")
    if progress.enabled and archive != STDIN:
        progress.total_reads = _zelk.inspect(archive).reads
    streams = ("names", "sequence") if args.fasta else None
    outputs: List[OutputFile] = []
    try:
        with contextlib.ExitStack() as opened:
            for target in targets:
                outputs.append(OutputFile(target, overwrite=args.force, inputs=[source]))
            files = [opened.enter_context(output.open()) for output in outputs] or [sys.stdout.buffer]
            if len(files) == 1 and not progress.enabled:
                reads = write_whole(source, files[0], args.threads, args.fasta)
            else:
                reads = write_records(_zelk.open(source, threads=args.threads, streams=streams), files, args.fasta,
                                      progress)
        for output in outputs:
            output.commit()
    except BaseException:
        for output in outputs:
            output.discard()
        raise
    finally:
        progress.close()
    if to_stdout:
        sys.stdout.buffer.flush()
    elif not args.quiet:
        say(f"{reads} reads written to {', '.join(targets)}")


def _decompress(args: argparse.Namespace) -> int:
    to_stdout = args.stdout or args.output == STDIN
    if args.output and not to_stdout and len(args.archives) > 1:
        raise ValueError("-o names one output; give one archive, or none of -o")
    # Standard input decompresses to standard output unless -o says otherwise.
    return _each(args.archives,
                 lambda archive: _decompress_one(args, archive, to_stdout or (archive == STDIN and not args.output)),
                 remove=args.remove)


def _cat(args: argparse.Namespace) -> int:
    args.fasta = args.split = args.remove = args.force = False
    args.output = None
    return _each(args.archives, lambda archive: _decompress_one(args, archive, True))


def _each(paths: Sequence[str], work: Callable[[str], object], remove: bool = False) -> int:
    """Runs `work` on each path, going on after a failure as gzip does; the
    status is 1 after any error, else 2 after any warning."""
    status = OK
    for path in paths:
        check_interrupted()
        try:
            work(path)
            if remove:
                _remove_inputs([path])
        except Warned as warning:
            say(str(warning))
            status = status or WARNING
        except (_zelk.ZelkError, OSError, ValueError) as error:
            check_interrupted()  # a failure the interrupt caused is no news
            if isinstance(error, BrokenPipeError):
                raise
            say(message(STDIN_LABEL if path == STDIN else path, error))
            status = ERROR
    return status


# ---- inspect, verify, estimate -----------------------------------------


def _archive_source(path: str) -> Union[str, bytes]:
    # Both read the footer at the end, so standard input is read whole.
    return sys.stdin.buffer.read() if path == STDIN else path


def _inspect_one(path: str) -> None:
    info = _zelk.inspect(_archive_source(path))
    crc = info.whole_file_crc
    rows = [
        ("reads", info.reads),
        ("blocks", info.blocks),
        ("format", f"{info.format_version >> 8}.{info.format_version & 0xFF}"),
        ("platform", info.platform),
        ("group size", info.group_size),
        ("member labels", ", ".join(info.member_labels) or "-"),
        ("names bytes", info.names_bytes),
        ("sequence bytes", info.sequence_bytes),
        ("quality bytes", info.quality_bytes),
        ("whole-file crc", f"0x{crc:08x}" if crc is not None else "-"),
        ("reordered", info.reordered),
        ("keep order", info.keep_order),
        ("regenerated names", info.regenerated_names),
        ("plus normalized", info.plus_normalized),
        ("seq order code", info.seq_order),
        ("quality binning code", info.quality_binning),
        ("required features", f"0x{info.required_features:x}"),
    ]
    print(f"{path}: {info!r}")
    for label, value in rows:
        print(f"  {label:<22}{value}")


def _inspect(args: argparse.Namespace) -> int:
    return _each(args.archives, _inspect_one)


def _verify(args: argparse.Namespace) -> int:
    def verify_one(path: str) -> None:
        _zelk.verify(_archive_source(path), threads=args.threads)
        if not args.quiet:
            print(f"{path}: ok")

    return _each(args.archives, verify_one)


def _estimate_source(path: str) -> Union[str, bytes]:
    source = sys.stdin.buffer.read() if path == STDIN else path
    refuse_non_fastq(source)
    return source


def _located(paths: Sequence[str], sources: Sequence[Union[str, bytes]], error: OSError) -> OSError:
    """An estimate's failure to read FASTQ, found again by a reader that
    tells the file, line and record; the original, with the path, when that
    reader finds nothing wrong."""
    for path, source in zip(paths, sources):
        try:
            for _ in _zelk_writer.FastqInput(source, label=STDIN_LABEL if path == STDIN else path, wrapped=False):
                pass
        except OSError as located:
            return located
    return OSError(message(" + ".join(paths), error))


def _estimate_table(args: argparse.Namespace, groups: Sequence[Sequence[str]], names: Sequence[str],
                    level: int) -> int:
    """Prints one row per group of FASTQ files (mates make one archive)."""
    columns = ("file", "platform", "reads", "raw MB", "names", "sequence", "quality", "archive MB", "ratio")
    rows = []
    progress = _progress(args, "estimate")
    done_reads = done_bytes = 0
    try:
        for group, name in zip(groups, names):
            sources = [_estimate_source(path) for path in group]
            try:
                e = _zelk.estimate(sources if len(sources) > 1 else sources[0], level=level,
                                   quality_binning=args.quality_binning, sample_reads=args.sample_reads)
            except OSError as error:
                raise _located(group, sources, error) from None
            rows.append((name, e.platform, f"{e.sample_reads}{'' if e.exhausted else '+'}",
                         f"{e.raw_bytes / 1e6:.2f}", e.names_bytes, e.sequence_bytes, e.quality_bytes,
                         f"{e.archive_bytes / 1e6:.2f}", f"{e.ratio:.2f}"))
            done_reads += e.sample_reads
            done_bytes += e.raw_bytes
            progress.update(done_reads, done_bytes)
    finally:
        progress.close()
    table = [columns] + [tuple(str(value) for value in row) for row in rows]
    widths = [max(len(row[i]) for row in table) for i in range(len(columns))]
    for row in table:
        print("  ".join(value.ljust(width) if i == 0 else value.rjust(width)
                        for i, (value, width) in enumerate(zip(row, widths))))
    if any(not row[2].isdigit() for row in rows):
        print("(+: a leading sample of the file; the ratio holds for the whole file)")
    return OK


def _estimate(args: argparse.Namespace) -> int:
    return _estimate_table(args, [[path] for path in args.files], args.files, level=args.level)


# ---- arguments ---------------------------------------------------------


def _count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def _level(text: str) -> int:
    value = int(text)
    if not 1 <= value <= 9:
        raise argparse.ArgumentTypeError(f"must be 1 to 9, not {value}")
    return value


class _Parser(argparse.ArgumentParser):
    def error(self, text: str) -> None:  # type: ignore[override]
        # Usage errors are errors (1), as for gzip; 2 means a warning.
        self.print_usage(sys.stderr)
        self.exit(ERROR, f"{self.prog}: error: {text}\n")


def build_parser() -> argparse.ArgumentParser:
    common = _Parser(add_help=False)
    common.add_argument("-q", "--quiet", action="store_true", help="no progress display or summary lines")
    threads = _Parser(add_help=False)
    threads.add_argument("-T", "--threads", type=_count, default=0, metavar="N",
                         help="worker threads (default 0: one per processor)")
    output = _Parser(add_help=False)
    output.add_argument("-o", "--output", metavar="FILE", help="output file (- for standard output)")
    output.add_argument("-c", "--stdout", action="store_true", help="write to standard output")
    output.add_argument("-f", "--force", action="store_true", help="overwrite an existing output")
    keep = output.add_mutually_exclusive_group()
    keep.add_argument("-k", "--keep", action="store_false", dest="remove", default=False,
                      help="keep the input (the default)")
    keep.add_argument("--rm", action="store_true", dest="remove", help="remove the input after success")
    sampling = _Parser(add_help=False)
    sampling.add_argument("--quality-binning", default="lossless", help="estimate with this binning")
    sampling.add_argument("--sample-reads", type=_count, default=1048576, metavar="N",
                          help="reads to sample per file (at most 300000 are used)")

    parser = _Parser(prog="zelk", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"zelk {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    c = commands.add_parser("compress", parents=[common, threads, output, sampling],
                            help="compress FASTQ (plain, gzip or BGZF; - for stdin) into an archive")
    c.add_argument("inputs", nargs="*", default=[STDIN], metavar="FASTQ",
                   help="one file, or mates (R1 R2 ...) interleaved into one archive")
    levels = c.add_mutually_exclusive_group()
    levels.add_argument("-l", "--level", type=_level, default=5,
                        help="1-3: fastest to write and read; 4-6 (default 5): small archives that still "
                             "decode fast; 7-9: smaller, slower to decode")
    levels.add_argument("--fast", action="store_const", const=1, dest="level", help="the same as -l 1")
    levels.add_argument("--best", action="store_const", const=9, dest="level", help="the same as -l 9")
    c.add_argument("--block-reads", type=_count, default=None, metavar="N", help="reads per row group")
    c.add_argument("--estimate", action="store_true", help="only estimate the archive's size")
    c.add_argument("--reorder", action="store_true",
                   help="place overlapping reads together (the reordered layout: much smaller sequences on deep "
                        "sets; holds all reads in memory)")
    c.add_argument("--any-order", action="store_true",
                   help="with --reorder: drop the input order (reads come back in the stored order)")
    cluster = c.add_mutually_exclusive_group()
    cluster.add_argument("--scheduler", metavar="ADDRESS",
                         help="encode row groups on the Dask cluster of this scheduler (plain FASTQ files)")
    cluster.add_argument("--workers", type=_count, default=0, metavar="N",
                         help="encode row groups on a local Dask cluster of N processes (plain FASTQ files)")
    c.set_defaults(handler=_compress)

    d = commands.add_parser("decompress", parents=[common, threads, output],
                            help="write archives' reads as FASTQ or FASTA")
    d.add_argument("archives", nargs="*", default=[STDIN], metavar="ARCHIVE")
    d.add_argument("--fasta", action="store_true", help="single-line FASTA; skips the qualities")
    d.add_argument("--split", action="store_true",
                   help="one file per interleaved member (STEM_R1.fastq, ...; -o gives STEM)")
    d.set_defaults(handler=_decompress)

    cat = commands.add_parser("cat", parents=[common, threads], help="archives' reads as FASTQ on standard output")
    cat.add_argument("archives", nargs="*", default=[STDIN], metavar="ARCHIVE")
    cat.set_defaults(handler=_cat)

    i = commands.add_parser("inspect", parents=[common], help="show archives' metadata")
    i.add_argument("archives", nargs="+", metavar="ARCHIVE")
    i.set_defaults(handler=_inspect)

    v = commands.add_parser("verify", parents=[common, threads], help="check archives end to end")
    v.add_argument("archives", nargs="+", metavar="ARCHIVE")
    v.set_defaults(handler=_verify)

    e = commands.add_parser("estimate", parents=[common, sampling], help="project the archive size of FASTQ files")
    e.add_argument("files", nargs="+", metavar="FASTQ")
    e.add_argument("--level", type=_count, default=5, help="the estimate's model effort (default 5)")
    e.set_defaults(handler=_estimate)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    previous = {signum: signal.signal(signum, _on_signal) for signum in (signal.SIGINT, signal.SIGTERM)}
    global _pending_signal
    _pending_signal = None
    try:
        status = int(args.handler(args))
        check_interrupted()
        return status
    except (Interrupted, KeyboardInterrupt, _zelk.ZelkError, OSError, ValueError) as error:
        # Whatever an interrupt broke on its way out is not worth a message.
        if _pending_signal is not None or isinstance(error, KeyboardInterrupt):
            return 128 + (_pending_signal or signal.SIGINT)
        if isinstance(error, BrokenPipeError):
            # The reader went away (`zelk cat x.zelk | head`): stop quietly,
            # as a program killed by SIGPIPE would.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 128 + signal.SIGPIPE
        say(message(None, error))
        return ERROR
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


if __name__ == "__main__":
    sys.exit(main())
