"""A tour of velk's Python API by task, on the shipped example dump.

Run: python examples/tour.py   (the NumPy and plot steps need velk[numpy,plot])
"""

from __future__ import annotations

import operator
import tempfile
from pathlib import Path

import velk

HERE = Path(__file__).resolve().parent
DUMP = HERE / "counter.vcd"


def main() -> None:
    # Open a dump of any format, recognised by its content.
    trace = velk.open(DUMP)
    print("format:", velk.PyTrace.detect_format(str(DUMP)), "| signals:", len(trace.signal_names()))

    # Read values by name and index; find times.
    last = trace.max_index()
    print("tb.count at the end:", trace.signal_value("tb.count", last), "at time", trace.timestamp(last))

    # Search with the condition language (or build PyExpr trees by hand).
    rising = velk.parse_condition(trace, "tb.clk and not tb.clk@-1 and tb.en")
    hits = trace.parallel_find(rising)
    print("enabled rising edges:", len(hits), "first at index", hits[0])
    print("count values there:", [v for _, (v,) in trace.find_with_values(rising, ["tb.count"])][:8])

    # Changes and statistics.
    print("tb.en changes:", trace.transitions("tb.en"))
    print("tb.count stats (min, max, sum, count, transitions, x, z):", trace.signal_stats("tb.count"))

    # Many dumps in worker processes: (path, result or exception) as each finishes.
    for path, result in velk.map_dumps([DUMP, HERE / "missing.vcd"], operator.methodcaller("max_index")):
        print("map_dumps:", Path(path).name, "->", result if not isinstance(result, BaseException)
              else f"{type(result).__name__}")

    try:
        import numpy  # noqa: F401
    except ImportError:
        return
    column = velk.to_numpy(trace, "tb.count")
    print("as a masked array:", column[:6], "mean of known values:", float(column.mean()))

    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return
    out = Path(tempfile.gettempdir()) / "velk-tour.png"
    velk.plot(trace, ["tb.clk", "tb.en", "tb.count", "tb.acc"], 0, 40, output=out, width=900)
    print("waveform written to", out)


if __name__ == "__main__":
    main()
