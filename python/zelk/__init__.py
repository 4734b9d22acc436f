"""zelk: compressed archives of FASTQ sequencing reads."""

from _zelk import *  # noqa: F401,F403
from _zelk import ZelkError  # noqa: F401
