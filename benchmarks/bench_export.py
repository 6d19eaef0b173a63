"""NumPy export against a Python loop over signal_value, on a ~1M-index trace.

Builds a VCD text with one new index per timestamp (a clock, an 8-bit
counter changing every index, a 16-bit bus changing every 7th index), loads
it, and times for each signal:

    reference: [trace.signal_value(name, i) for i in range(n)]   (pure Python)
    velk:      velk.to_numpy(trace, name)                        (masked array)
    velk:      velk.changes(trace, name)                          (run-length form)

and velk.timestamps(trace) beside [trace.timestamp(i) for i in range(n)].
Checks that both give the same values and prints the speed-up.

Usage: python benchmarks/bench_export.py [--indices N] [--repeat R]
"""

import argparse
import time

import numpy as np

import velk
from bench_search import build_vcd, best_time


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--indices", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    trace = velk.PyTrace.from_vcd_string(build_vcd(args.indices))
    n = trace.max_index() + 1
    print(f"indices: {n}")
    print(f"{'signal':<12} {'python loop':>12} {'to_numpy':>10} {'changes':>10} {'speed-up':>9}")
    for name in ("top.clk", "top.count", "top.data"):
        t_loop, values = best_time(lambda: [trace.signal_value(name, i) for i in range(n)], 1)
        t_numpy, column = best_time(lambda: velk.to_numpy(trace, name), args.repeat)
        t_changes, _ = best_time(lambda: velk.changes(trace, name), args.repeat)
        assert column.filled(0).tolist() == [0 if v is None else v for v in values]
        print(f"{name:<12} {t_loop * 1e3:>10.1f}ms {t_numpy * 1e3:>8.1f}ms {t_changes * 1e3:>8.1f}ms "
              f"{t_loop / t_numpy:>8.0f}x")
    t_loop, times = best_time(lambda: [trace.timestamp(i) for i in range(n)], 1)
    t_numpy, array = best_time(lambda: velk.timestamps(trace), args.repeat)
    assert np.array_equal(array, np.array(times, dtype=np.uint64))
    print(f"{'timestamps':<12} {t_loop * 1e3:>10.1f}ms {t_numpy * 1e3:>8.1f}ms {'':>10} {t_loop / t_numpy:>8.0f}x")


if __name__ == "__main__":
    main()
