"""velk: load waveform dumps (VCD, FST, FSDB, WLF, SHM, VPD) and query them fast."""

__version__ = "0.1.0"

from velk._core import PyExpr, PyTrace
from velk._open import FormatError, formats, open

__all__ = ["FormatError", "PyExpr", "PyTrace", "__version__", "formats", "open"]
