"""velk: load waveform dumps (VCD, FST, FSDB, WLF, SHM, VPD) and query them fast."""

__version__ = "0.1.0"

from velk._core import PyExpr, PyTrace
from velk._open import FormatError, formats, open
from velk.condition import ConditionError, parse_condition
from velk._many import map_dumps

__all__ = ["ConditionError", "FormatError", "PyExpr", "PyTrace", "__version__", "formats", "map_dumps", "open", "parse_condition"]
