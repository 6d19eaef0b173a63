"""Load the example dump and print what one usually wants to see first."""

from pathlib import Path

from velk import PyExpr, PyTrace

HERE = Path(__file__).resolve().parent


def signal_id(trace: PyTrace, name: str) -> int:
    found = trace.signal_id(name)  # None for a name the dump does not have
    if found is None:
        raise SystemExit(f"no signal {name} in the dump")
    return found


def main() -> None:
    trace = PyTrace.from_vcd(str(HERE / "counter.vcd"))
    print("signals:", trace.signal_names())
    print("scopes:", trace.scopes())
    print("max_index:", trace.max_index())
    last = trace.max_index()
    for name in ("tb.count", "tb.acc", "tb.temperature"):
        print(f"{name} (width {trace.signal_width(name)}): "
              f"first={trace.signal_value(name, 0)!r} last={trace.signal_value(name, last)!r}")
    print("snapshot of tb.dut at the end:", trace.snapshot_scope(last, "tb.dut"))
    # Rising edges of the clock while counting is enabled.
    clk = PyExpr.signal(signal_id(trace, "tb.clk"))
    en = PyExpr.signal(signal_id(trace, "tb.en"))
    rising = clk.and_(clk.rel_eval(-1).not_())
    hits = trace.find(rising.and_(en))
    print("enabled rising edges at times:", [trace.timestamp(i) for i in hits])


if __name__ == "__main__":
    main()
