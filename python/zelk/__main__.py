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


def build_parser():
    parser = argparse.ArgumentParser(prog="zelk", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    inspect = commands.add_parser("inspect", help="show an archive's metadata")
    inspect.add_argument("archives", nargs="+", metavar="ARCHIVE")
    inspect.set_defaults(handler=_inspect)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        return args.handler(args)
    except (_zelk.ZelkError, OSError) as error:
        print(f"zelk: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
