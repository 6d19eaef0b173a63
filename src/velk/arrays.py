"""NumPy export: timestamps, change lists and value columns as arrays.

Built from flat buffers the core fills (velk._core.PyTrace.timestamps_buffer
and changes_buffers), so a million indices cost a few array operations, not a
million Python objects. NumPy is an optional extra: pip install 'velk[numpy]'.
"""

from __future__ import annotations

from typing import Any, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

from velk._core import PyTrace

__all__ = ["changes", "timestamps", "to_numpy"]

_DTYPES = {"uint64": np.uint64, "float64": np.float64}


def timestamps(trace: PyTrace) -> npt.NDArray[np.uint64]:
    """Every timestamp of the dump, one per index (uint64, the dump's time unit).

    >>> velk.timestamps(trace)[:3]
    array([    0,  5000, 10000], dtype=uint64)
    """
    return np.frombuffer(trace.timestamps_buffer(), dtype=np.uint64)


def _end(trace: PyTrace, end: Optional[int]) -> int:
    limit = trace.max_index() + 1
    return limit if end is None else min(end, limit)


def _changes(trace: PyTrace, name: str, start: int, end: int) -> tuple[npt.NDArray[np.uint64], "np.ma.MaskedArray[Any, Any]"]:
    found = trace.changes_buffers(name, start, end)
    if found is None:
        raise KeyError(f"unknown signal {name!r}")
    kind, indices, values, unknown = found
    index_array = np.frombuffer(indices, dtype=np.uint64)
    value_array: npt.NDArray[Any]
    if isinstance(values, list):  # text: one object per change
        value_array = np.array(values, dtype=object)
    else:
        value_array = np.frombuffer(values, dtype=_DTYPES[kind])
    mask = np.frombuffer(unknown, dtype=np.bool_)  # the core writes 0 or 1
    return index_array, np.ma.MaskedArray(value_array, mask=mask)


def changes(trace: PyTrace, name: str, start: int = 0,
            end: Optional[int] = None) -> tuple[npt.NDArray[np.uint64], "np.ma.MaskedArray[Any, Any]"]:
    """The value of `name` in run-length form over indices [start, end).

    Returns (indices, values): indices (uint64) starts with `start` and then
    holds every index where the value differs from the index before; values
    is a masked array with the value from that index on (uint64 for bit
    vectors, the low 64 bits of wider ones; float64 for reals, with
    integers widened; object for strings), masked where the value is unknown
    (X/Z or not yet dumped). Raises KeyError for an unknown name.

    >>> idx, vals = velk.changes(trace, "tb.count")
    >>> idx[:3], vals[:3]
    """
    return _changes(trace, name, start, _end(trace, end))


def _column(trace: PyTrace, name: str, start: int, end: int) -> "np.ma.MaskedArray[Any, Any]":
    found = trace.values_buffers(name, start, end)
    if found is None:
        raise KeyError(f"unknown signal {name!r}")
    kind, values_buffer, unknown = found
    if kind != "str":  # numbers: the core wrote one per index, NumPy wraps them without a copy
        data = np.frombuffer(values_buffer, dtype=_DTYPES[kind])
        return np.ma.MaskedArray(data, mask=np.frombuffer(unknown, dtype=np.bool_))
    indices, values = _changes(trace, name, start, end)
    if end <= start:
        return np.ma.MaskedArray(np.empty(0, dtype=values.dtype), mask=np.empty(0, dtype=bool))
    if len(indices) == end - start:  # a change at every index: the runs are the column
        return values
    lengths = np.diff(np.append(indices, np.uint64(end))).astype(np.intp)
    data = np.repeat(values.data, lengths)
    mask = np.repeat(np.ma.getmaskarray(values), lengths)
    return np.ma.MaskedArray(data, mask=mask)


def _common_dtype(columns: Sequence["np.ma.MaskedArray[Any, Any]"]) -> "np.dtype[Any]":
    kinds = {c.dtype for c in columns}
    if np.dtype(object) in kinds:
        return np.dtype(object)
    if np.dtype(np.float64) in kinds:
        return np.dtype(np.float64)
    return np.dtype(np.uint64)


def to_numpy(trace: PyTrace, name: Union[str, Sequence[str]], start: int = 0,
             end: Optional[int] = None) -> "np.ma.MaskedArray[Any, Any]":
    """The value of `name` at every index in [start, end) as a masked array,
    unknown values (X/Z, not yet dumped) masked.

    With a sequence of names, a 2-D masked array with one row per name (the
    common dtype: uint64, float64 when any signal is real, object when any
    holds strings). `end` defaults to max_index() + 1 and is clamped to it.
    Raises KeyError for an unknown name.

    >>> velk.to_numpy(trace, "tb.count", 0, 5)
    masked_array(data=[--, 0, 0, 0, 0], ...)
    """
    if start < 0:
        raise ValueError("start must not be negative")
    stop = _end(trace, end)
    if isinstance(name, str):
        return _column(trace, name, start, stop)
    columns = [_column(trace, n, start, stop) for n in name]
    dtype = _common_dtype(columns)
    width = max(stop - start, 0)
    data = np.zeros((len(columns), width), dtype=dtype)
    mask = np.zeros((len(columns), width), dtype=bool)
    for row, column in enumerate(columns):
        data[row] = column.data.astype(dtype)
        mask[row] = np.ma.getmaskarray(column)
    return np.ma.MaskedArray(data, mask=mask)
