"""Builds examples/sample.zelk from examples/sample.fastq."""

import pathlib

import _zelk_writer

HERE = pathlib.Path(__file__).resolve().parent


def main():
    archive = _zelk_writer.write_archive_from_fastq(str(HERE / "sample.fastq"), block_reads=100)
    (HERE / "sample.zelk").write_bytes(archive)


if __name__ == "__main__":
    main()
