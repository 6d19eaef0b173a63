"""Index search throughput: find, parallel_find and parallel_count beside NumPy.

Builds VCD texts with one new index per timestamp, loads them with
PyTrace.from_vcd_string, and times the condition `count == 5 and valid[-1]`

    and_(eq_(signal(count), const_int(5)), rel_eval(signal(valid), -1))

with find (calling thread), parallel_find and parallel_count (worker pool),
beside a NumPy vectorised evaluation of the same condition on dense arrays
(the reference, measured in the same run). Three signal patterns:

    mixed  count changes at every index, valid every 3rd (the original figures)
    busy   count and valid change at every index
    quiet  count and valid change every 100th index

Prints one table of nanoseconds per index, and the ratios the searches are
judged by.

Usage: python benchmarks/bench_search.py [--indices N] [--repeat R] [--patterns busy,quiet]
"""

import argparse
import os
import time

import numpy as np

import velk

PATTERNS = {
    # name: (count at t, valid at t, whether valid is written at t)
    "mixed": (lambda t: t % 251, lambda t: (t // 3) & 1, lambda t: t % 3 == 0),
    "busy": (lambda t: t % 251, lambda t: t & 1, lambda t: True),
    "quiet": (lambda t: (t // 100) % 251, lambda t: (t // 100) & 1, lambda t: t % 100 == 0),
}


def build(pattern, indices):
    """The VCD text and the dense arrays of count and valid."""
    count_at, valid_at, valid_written = PATTERNS[pattern]
    lines = [
        "$timescale 1ns $end",
        "$scope module top $end",
        "$var wire 1 ! clk $end",
        '$var wire 8 " count [7:0] $end',
        "$var wire 1 # valid $end",
        "$upscope $end",
        "$enddefinitions $end",
    ]
    count = np.empty(indices, dtype=np.uint64)
    valid = np.empty(indices, dtype=np.uint8)
    last_count = None
    last_valid = 0
    for t in range(indices):
        lines.append(f"#{t}")
        if pattern != "quiet" or t % 100 == 0:
            lines.append(f"{t & 1}!")
        c = count_at(t)
        if c != last_count:
            lines.append(f'b{c:b} "')
            last_count = c
        if valid_written(t):
            last_valid = valid_at(t)
            lines.append(f"{last_valid}#")
        count[t] = last_count
        valid[t] = last_valid
    return "\n".join(lines) + "\n", count, valid


def best_time(fn, repeat):
    best = float("inf")
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def numpy_mask(count, valid):
    previous = np.empty(valid.shape, dtype=bool)
    previous[0] = False  # valid[-1] at index 0 reads before the trace: false
    np.not_equal(valid[:-1], 0, out=previous[1:])
    return (count == 5) & previous


def measure(pattern, indices, repeat):
    text, count, valid = build(pattern, indices)
    trace = velk.PyTrace.from_vcd_string(text)
    del text
    E = velk.PyExpr
    c = E.signal(trace.signal_id("top.count"))
    v = E.signal(trace.signal_id("top.valid"))
    expr = c.eq_(E.const_int(5)).and_(v.rel_eval(-1))

    n = trace.max_index() + 1
    t_np_find, np_hits = best_time(lambda: np.flatnonzero(numpy_mask(count, valid)), repeat)
    t_np_count, np_count = best_time(lambda: int(np.count_nonzero(numpy_mask(count, valid))), repeat)
    t_find, hits = best_time(lambda: trace.find(expr), repeat)
    t_par, par_hits = best_time(lambda: trace.parallel_find(expr), repeat)
    t_count, counted = best_time(lambda: trace.parallel_count(expr), repeat)
    assert hits == par_hits and counted == len(hits), "parallel results differ from find"
    assert hits == np_hits.tolist() and np_count == len(hits), "velk and NumPy disagree"
    return n, len(hits), t_find, t_par, t_count, t_np_find, t_np_count


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--indices", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--patterns", default="mixed,busy,quiet")
    args = parser.parse_args()

    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"cpus available: {cpus}  RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(unset)')}  "
          f"repeat: best of {args.repeat}  (ns per index)")
    header = (f"{'signals':8} {'indices':>8} {'matches':>8} | {'find':>7} {'par_find':>8} {'par_count':>9} | "
              f"{'np_find':>7} {'np_count':>8} | {'par_find/np':>11} {'find/par_find':>13}")
    print(header)
    print("-" * len(header))
    for pattern in args.patterns.split(","):
        n, matches, t_find, t_par, t_count, t_np_find, t_np_count = measure(pattern, args.indices, args.repeat)
        ns = lambda t: t * 1e9 / n  # noqa: E731
        print(f"{pattern:8} {n:8} {matches:8} | {ns(t_find):7.2f} {ns(t_par):8.2f} {ns(t_count):9.2f} | "
              f"{ns(t_np_find):7.2f} {ns(t_np_count):8.2f} | {t_par / t_np_find:10.2f}x {t_find / t_par:12.2f}x")


if __name__ == "__main__":
    main()
