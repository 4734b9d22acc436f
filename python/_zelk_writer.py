"""`zelk._zelk_writer` under its former top-level name, for existing callers."""

import sys

from zelk import _zelk_writer

sys.modules[__name__] = _zelk_writer
