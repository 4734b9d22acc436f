"""Builds examples/sample.zelk from examples/sample.fastq."""

import pathlib

import zelk

HERE = pathlib.Path(__file__).resolve().parent


def main():
    zelk.compress(HERE / "sample.fastq", HERE / "sample.zelk", block_reads=100, overwrite=True)


if __name__ == "__main__":
    main()
