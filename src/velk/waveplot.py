"""Timing diagrams the way waveform viewers draw them, with matplotlib.

1-bit signals are square waves; buses (and reals) are labelled segments
with their value in hex (or as a number) between crossing edges; stretches
where the value is unknown (X/Z, not yet dumped) are shaded. The time axis
is in the dump's own time unit. matplotlib is an optional extra:
pip install 'velk[plot]'.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Optional, Sequence, Union

import matplotlib

matplotlib.use("Agg")  # files only; never needs a display

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.patches import Polygon, Rectangle  # noqa: E402

from velk._core import PyTrace  # noqa: E402
from velk.arrays import changes, timestamps  # noqa: E402

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["plot"]

_DPI = 100
_LINE = "#1f6f3f"
_BUS_FILL = "#e8f3ec"
_UNKNOWN = "#d62728"
_ROW = 1.0      # vertical space per signal
_HIGH = 0.7     # height of a high level / a bus within its row
_FORMATS = {".png": "png", ".svg": "svg"}


def _label(value: Any, width: int) -> str:
    if isinstance(value, float):
        return f"{value:g}"
    if isinstance(value, (int, np.integer)):
        digits = max(1, (width + 3) // 4)
        return f"{int(value):0{digits}X}" if width <= 64 else f"{int(value):X}"
    return str(value)


def _draw_bit(ax: "Axes", base: float, xs: Sequence[float], values: Any, mask: Any) -> None:
    px: list[float] = []
    py: list[float] = []
    for k in range(len(xs) - 1):
        x0, x1 = xs[k], xs[k + 1]
        if mask[k]:
            ax.add_patch(Rectangle((x0, base), x1 - x0, _HIGH, facecolor=_UNKNOWN, alpha=0.25, hatch="///",
                                   edgecolor=_UNKNOWN, linewidth=0))
            level = base + _HIGH / 2
        else:
            level = base + (_HIGH if int(values[k]) & 1 else 0.0)
        px += [x0, x1]
        py += [level, level]
    ax.plot(px, py, color=_LINE, linewidth=1.4, solid_joinstyle="miter")


def _draw_bus(ax: "Axes", base: float, xs: Sequence[float], values: Any, mask: Any, width: int,
              px_per_unit: float) -> None:
    span = xs[-1] - xs[0]
    slant = min(span * 0.004, 3 / px_per_unit) if px_per_unit > 0 else 0.0
    mid = base + _HIGH / 2
    for k in range(len(xs) - 1):
        x0, x1 = xs[k], xs[k + 1]
        s = min(slant, (x1 - x0) / 2)
        shape = [(x0, mid), (x0 + s, base + _HIGH), (x1 - s, base + _HIGH), (x1, mid), (x1 - s, base), (x0 + s, base)]
        unknown = bool(mask[k])
        ax.add_patch(Polygon(shape, closed=True, facecolor=_UNKNOWN if unknown else _BUS_FILL,
                             alpha=0.3 if unknown else 1.0, edgecolor=_UNKNOWN if unknown else _LINE,
                             linewidth=1.0, hatch="///" if unknown else None))
        text = "x" if unknown else _label(values[k], width)
        room = (x1 - x0) * px_per_unit
        fits = int((room - 6) // 7)  # characters of 8-point monospace that fit
        if len(text) > fits >= 3:
            text = text[: fits - 1] + "\u2026"
        if fits >= len(text):
            ax.text((x0 + x1) / 2, mid, text, ha="center", va="center", fontsize=8, family="monospace",
                    color=_UNKNOWN if unknown else "black", clip_on=True)


def plot(trace: PyTrace, names: Union[str, Sequence[str]], start: int = 0, end: Optional[int] = None,
         output: Union[str, "os.PathLike[str]", None] = None, width: int = 1200,
         height: Optional[int] = None) -> "Figure":
    """Draws a timing diagram of `names` over indices [start, end) and returns
    the matplotlib Figure; with `output` (a .png or .svg path) it also saves
    the picture there, `width` x `height` pixels (height defaults to 50
    pixels per signal plus room for the axis).

    Raises KeyError for an unknown name and ValueError for an empty range or
    an output that is neither .png nor .svg.

    >>> velk.plot(trace, ["tb.clk", "tb.count"], 0, 40, output="wave.png")
    """
    wanted = [names] if isinstance(names, str) else list(names)
    if not wanted:
        raise ValueError("no signal to plot")
    last = trace.max_index() + 1
    stop = last if end is None else min(end, last)
    if start < 0 or stop <= start:
        raise ValueError(f"empty index range [{start}, {stop})")
    fmt = None
    if output is not None:
        fmt = _FORMATS.get(os.path.splitext(os.fspath(output))[1].lower())
        if fmt is None:
            raise ValueError(f"output must end in .png or .svg: {os.fspath(output)!r}")
    pixels_high = height or 50 * len(wanted) + 70
    times = timestamps(trace).astype(np.float64)
    t0 = times[start]
    # The last index is drawn as long as the step before it (one unit for a single index).
    t_end = times[stop] if stop < last else times[stop - 1] + (
        times[stop - 1] - times[stop - 2] if stop - 1 > start else 1.0)

    fig = plt.figure(figsize=(width / _DPI, pixels_high / _DPI), dpi=_DPI)
    label_room = min(0.35, (max(len(n) for n in wanted) * 8.5 + 16) / width)
    ax = fig.add_axes((label_room, 45 / pixels_high, 1 - label_room - 0.02, 1 - 55 / pixels_high))
    px_per_unit = (width * (1 - label_room - 0.02)) / max(t_end - t0, 1e-12)
    for row, name in enumerate(wanted):
        base = (len(wanted) - 1 - row) * _ROW + (_ROW - _HIGH) / 2
        indices, values = changes(trace, name, start, stop)
        xs = [float(times[int(i)]) for i in indices] + [float(t_end)]
        mask = np.ma.getmaskarray(values)
        data = values.data
        bit_width = trace.signal_width(name)
        is_bit = data.dtype != object and data.dtype.kind == "u" and bit_width <= 1 and \
            bool(np.all(data[~mask] <= 1))
        if is_bit:
            _draw_bit(ax, base, xs, data, mask)
        else:
            _draw_bus(ax, base, xs, data, mask, bit_width, px_per_unit)
    ax.set_xlim(t0, t_end)
    ax.set_ylim(0, len(wanted) * _ROW)
    ax.set_yticks([(len(wanted) - 1 - r) * _ROW + _ROW / 2 for r in range(len(wanted))], labels=wanted,
                  fontsize=9, family="monospace")
    ax.tick_params(axis="y", length=0)
    ax.tick_params(axis="x", labelsize=8)
    ax.set_xlabel("time (dump units)", fontsize=8)
    ax.grid(axis="x", color="#dddddd", linewidth=0.6)
    ax.set_axisbelow(True)
    for side in ("top", "right", "left"):
        ax.spines[side].set_visible(False)
    if output is not None:
        fig.savefig(os.fspath(output), format=fmt, dpi=_DPI)
        plt.close(fig)
    return fig
