"""zelk: compressed archives of FASTQ sequencing reads.

Reading comes from the compiled module `zelk._zelk`: `open` (streaming
records), `decompress_to_bytes`, `inspect`, `verify`, `estimate`, random
access by row group (`read_block`, `read_names`, ...) and the pieces remote
readers use (`parse_index_suffix`, `decode_*_bytes`; see `zelk.remote`).
The reading functions also take a URL (``s3://``, ``https://``, ...) or an
fsspec file; random access then fetches only the footer and the columns it
needs. `zelk.dask` reads archives as Dask dataframes and compresses on a
Dask cluster.
Defined here: `compress` and `Writer`, which write archives, and a
`decompress_to_path` that never leaves a partial file or replaces one
unasked. The command-line tool is `python -m zelk` (or `zelk`).
"""

from ._zelk import (
    Estimate, GroupLoc, Index, Info, Reader, Record, ZelkError, decode_names_bytes, decode_qualities_bytes,
    decode_sequences_bytes, estimate, parse_index_suffix, quality_needs_sequence_bytes,
)
from ._access import (
    decompress_to_bytes, inspect, open, open_index, read_block, read_names, read_qualities, read_sequences, verify,
)
from ._output import decompress_to_path
from ._writer import Writer, compress

__version__ = "0.1.0"

__all__ = [
    "Estimate", "GroupLoc", "Index", "Info", "Reader", "Record", "Writer", "ZelkError", "compress",
    "decode_names_bytes", "decode_qualities_bytes", "decode_sequences_bytes", "decompress_to_bytes",
    "decompress_to_path", "estimate", "inspect", "open", "open_index", "parse_index_suffix",
    "quality_needs_sequence_bytes", "read_block", "read_names", "read_qualities", "read_sequences", "verify",
]
