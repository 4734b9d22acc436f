"""The zelk command-line tool."""

import argparse
import sys

import _zelk


def _inspect(args):
    for path in args.archives:
        info = _zelk.inspect(path)
        print(f"{path}: {info!r}")
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
            ("seq order code", info.seq_order),
            ("quality binning code", info.quality_binning),
            ("required features", f"0x{info.required_features:x}"),
        ]
        for label, value in rows:
            print(f"  {label:<22}{value}")
    return 0


def _decompress(args):
    if args.output in (None, "-"):
        sys.stdout.buffer.write(_zelk.decompress_to_bytes(args.archive, threads=args.threads, fasta=args.fasta))
        sys.stdout.buffer.flush()
    else:
        reads = _zelk.decompress_to_path(args.archive, args.output, threads=args.threads, fasta=args.fasta)
        print(f"{reads} reads written to {args.output}", file=sys.stderr)
    return 0


def _cat(args):
    source = sys.stdin.buffer if args.archive == "-" else args.archive
    out = sys.stdout.buffer
    for record in _zelk.open(source, threads=args.threads):
        out.write(b"@%s\n%s\n+\n%s\n" % (record.name, record.sequence, record.quality))
    out.flush()
    return 0


def _verify(args):
    status = 0
    for path in args.archives:
        try:
            _zelk.verify(path, threads=args.threads)
            print(f"{path}: ok")
        except (_zelk.ZelkError, OSError) as error:
            print(f"{path}: FAILED: {error}")
            status = 1
    return status


def _estimate(args):
    columns = ("file", "platform", "reads", "raw MB", "names", "sequence", "quality", "archive MB", "ratio")
    rows = []
    for path in args.files:
        e = _zelk.estimate(path, level=args.level, quality_binning=args.quality_binning,
                           sample_reads=args.sample_reads)
        rows.append((path, e.platform, f"{e.sample_reads}{'' if e.exhausted else '+'}",
                     f"{e.raw_bytes / 1e6:.2f}", e.names_bytes, e.sequence_bytes, e.quality_bytes,
                     f"{e.archive_bytes / 1e6:.2f}", f"{e.ratio:.2f}"))
    table = [columns] + [tuple(str(v) for v in row) for row in rows]
    widths = [max(len(row[i]) for row in table) for i in range(len(columns))]
    for row in table:
        print("  ".join(value.ljust(width) if i == 0 else value.rjust(width)
                        for i, (value, width) in enumerate(zip(row, widths))))
    if any(not row[2].isdigit() for row in rows):
        print("(+: a leading sample of the file; the ratio holds for the whole file)")
    return 0


def _compress(args):
    import _zelk_writer

    options = {"block_reads": args.block_reads}
    if args.reorder:
        # The reordered layout places every read at once, so the whole input
        # is read first.
        records = _zelk_writer.read_fastq(args.fastq)
        with open(args.output, "wb") as out:
            out.write(_zelk_writer.write_archive(records, layout="reordered", **options))
        reads = len(records)
    else:
        reads = _zelk_writer.compress_fastq(args.fastq, args.output, **options)
    print(f"{reads} reads compressed into {args.output}", file=sys.stderr)
    return 0


def build_parser():
    parser = argparse.ArgumentParser(prog="zelk", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)

    inspect = commands.add_parser("inspect", help="show an archive's metadata")
    inspect.add_argument("archives", nargs="+", metavar="ARCHIVE")
    inspect.set_defaults(handler=_inspect)

    decompress = commands.add_parser("decompress", help="write an archive's reads as FASTQ or FASTA")
    decompress.add_argument("archive", metavar="ARCHIVE")
    decompress.add_argument("-o", "--output", metavar="FILE", help="output file (default: standard output)")
    decompress.add_argument("--fasta", action="store_true", help="single-line FASTA; skips the qualities")
    decompress.add_argument("--threads", type=int, default=0, help="decode workers (0: one per processor)")
    decompress.set_defaults(handler=_decompress)

    cat = commands.add_parser("cat", help="stream an archive's records as FASTQ (ARCHIVE may be - for stdin)")
    cat.add_argument("archive", metavar="ARCHIVE")
    cat.add_argument("--threads", type=int, default=0)
    cat.set_defaults(handler=_cat)

    verify = commands.add_parser("verify", help="check archives end to end")
    verify.add_argument("archives", nargs="+", metavar="ARCHIVE")
    verify.add_argument("--threads", type=int, default=0)
    verify.set_defaults(handler=_verify)

    estimate = commands.add_parser("estimate", help="project the archive size of FASTQ files")
    estimate.add_argument("files", nargs="+", metavar="FILE")
    estimate.add_argument("--level", type=int, default=5)
    estimate.add_argument("--quality-binning", default="lossless")
    estimate.add_argument("--sample-reads", type=int, default=1048576)
    estimate.set_defaults(handler=_estimate)

    compress = commands.add_parser("compress", help="compress a FASTQ file (plain or gzip) into an archive")
    compress.add_argument("fastq", metavar="FASTQ")
    compress.add_argument("-o", "--output", required=True, metavar="ARCHIVE")
    compress.add_argument("--block-reads", type=int, default=None, help="reads per row group")
    compress.add_argument("--reorder", action="store_true",
                          help="reorder reads by overlap (the globally reordered layout; holds all reads in memory)")
    compress.set_defaults(handler=_compress)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        return args.handler(args)
    except BrokenPipeError:
        return 1
    except (_zelk.ZelkError, OSError, ValueError) as error:
        print(f"zelk: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
