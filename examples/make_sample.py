"""Builds examples/sample.zelk from examples/sample.fastq."""

import pathlib

import _zelk_writer

HERE = pathlib.Path(__file__).resolve().parent


def main():
    _zelk_writer.compress_fastq(str(HERE / "sample.fastq"), str(HERE / "sample.zelk"), block_reads=100)


if __name__ == "__main__":
    main()
