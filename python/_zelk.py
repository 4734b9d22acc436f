"""`zelk._zelk` under its former top-level name, for existing callers."""

import sys

from zelk import _zelk

sys.modules[__name__] = _zelk
