"""velk: load waveform dumps (VCD, FST, FSDB, WLF, SHM, VPD) and query them fast."""

from velk._core import PyExpr, PyTrace

__all__ = ["PyExpr", "PyTrace"]
