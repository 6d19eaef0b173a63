"""Index search throughput: find vs parallel_find over a ~1M-index trace.

Builds a VCD text with one new index per timestamp, loads it with
PyTrace.from_vcd_string, and times a six-node expression

    and_(eq_(signal(count), const_int(5)), rel_eval(signal(valid), -1))

with find (calling thread), parallel_find and parallel_count (worker pool).
Prints nanoseconds per index and the parallel speed-up on this machine.

Usage: python benchmarks/bench_search.py [--indices N] [--repeat R]
"""

import argparse
import os
import time

import velk


def build_vcd(indices):
    lines = [
        "$timescale 1ns $end",
        "$scope module top $end",
        "$var wire 1 ! clk $end",
        "$var wire 8 \" count [7:0] $end",
        "$var wire 1 # valid $end",
        "$var wire 16 $ data [15:0] $end",
        "$upscope $end",
        "$enddefinitions $end",
    ]
    for t in range(indices):
        lines.append(f"#{t}")
        lines.append(f"{t & 1}!")
        lines.append(f"b{t % 251:b} \"")
        if t % 3 == 0:
            lines.append(f"{(t // 3) & 1}#")
        if t % 7 == 0:
            lines.append(f"b{(t * 2654435761) & 0xFFFF:b} $")
    return "\n".join(lines) + "\n"


def best_time(fn, repeat):
    best = float("inf")
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--indices", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    start = time.perf_counter()
    trace = velk.PyTrace.from_vcd_string(build_vcd(args.indices))
    load_s = time.perf_counter() - start

    E = velk.PyExpr
    count = E.signal(trace.signal_id("top.count"))
    valid = E.signal(trace.signal_id("top.valid"))
    expr = count.eq_(E.const_int(5)).and_(valid.rel_eval(-1))

    n = trace.max_index() + 1
    t_find, hits = best_time(lambda: trace.find(expr), args.repeat)
    t_par, par_hits = best_time(lambda: trace.parallel_find(expr), args.repeat)
    t_count, counted = best_time(lambda: trace.parallel_count(expr), args.repeat)
    assert hits == par_hits and counted == len(hits), "parallel results differ from find"

    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"indices: {n}  matches: {len(hits)}  cpus available: {cpus}  "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(unset)')}")
    print(f"load (from_vcd_string): {load_s:.2f} s")
    print(f"find:           {t_find * 1e9 / n:7.2f} ns/index")
    print(f"parallel_find:  {t_par * 1e9 / n:7.2f} ns/index  (speed-up {t_find / t_par:.2f}x)")
    print(f"parallel_count: {t_count * 1e9 / n:7.2f} ns/index  (speed-up {t_find / t_count:.2f}x)")


if __name__ == "__main__":
    main()
