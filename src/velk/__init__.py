"""velk: load waveform dumps (VCD, FST, FSDB, WLF, SHM, VPD) and query them fast."""

from typing import TYPE_CHECKING

__version__ = "0.1.0"

from velk._core import PyExpr, PyTrace
from velk._many import map_dumps
from velk._open import FormatError, formats, open
from velk.condition import ConditionError, parse_condition

if TYPE_CHECKING:
    from velk.arrays import changes, timestamps, to_numpy
    from velk.waveplot import plot


def __getattr__(name: str) -> object:
    # NumPy and matplotlib are optional: their parts load on first use.
    if name in ("timestamps", "changes", "to_numpy"):
        from velk import arrays

        return getattr(arrays, name)
    if name == "plot":
        from velk.waveplot import plot

        return plot
    raise AttributeError(f"module 'velk' has no attribute {name!r}")


__all__ = [
    "ConditionError", "FormatError", "PyExpr", "PyTrace", "__version__", "changes", "formats", "map_dumps",
    "open", "parse_condition", "plot", "timestamps", "to_numpy",
]
