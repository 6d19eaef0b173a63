"""`velk find` over many dumps: one parallel run against the single runs.

Writes N VCD dumps (a clock and a counter over M indices each), then times
    single runs:  `velk find DUMP COND --json` once per dump, one after another
    in-process:   velk.open + parallel_find per dump in this process, sequentially
    velk many:    `velk find 'DIR/*.vcd' COND --json` (worker processes, one per CPU)
and checks that the parallel run gives every dump the same indices.

Usage: python benchmarks/bench_many.py [--dumps N] [--indices M]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import velk

CONDITION = "tb.clk and tb.n[3:0] == 6"


def write_dumps(directory: Path, dumps: int, indices: int) -> list[Path]:
    paths = []
    for k in range(dumps):
        lines = ["$scope module tb $end", "$var wire 1 ! clk $end", "$var wire 8 # n $end", "$upscope $end",
                 "$enddefinitions $end"]
        for t in range(indices):
            lines += [f"#{t * 10}", f"{t % 2}!", f"b{(t * (k + 1)) % 256:b} #"]
        path = directory / f"run{k:03d}.vcd"
        path.write_text("\n".join(lines) + "\n")
        paths.append(path)
    return paths


def velk_cli(*args: str) -> str:
    return subprocess.run([sys.executable, "-m", "velk", *args], check=True, capture_output=True, text=True).stdout


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dumps", type=int, default=50)
    parser.add_argument("--indices", type=int, default=100_000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        paths = write_dumps(Path(tmp), args.dumps, args.indices)
        size = sum(p.stat().st_size for p in paths)
        print(f"{args.dumps} dumps, {args.indices} indices each, {size / 1e6:.0f} MB, {os.cpu_count()} CPUs")

        start = time.perf_counter()
        single = {str(p): json.loads(velk_cli("find", str(p), CONDITION, "--json"))["indices"] for p in paths}
        t_single = time.perf_counter() - start

        start = time.perf_counter()
        for p in paths:
            trace = velk.open(p)
            trace.parallel_find(velk.parse_condition(trace, CONDITION))
        t_inproc = time.perf_counter() - start

        start = time.perf_counter()
        out = velk_cli("find", str(Path(tmp) / "*.vcd"), CONDITION, "--json")
        t_many = time.perf_counter() - start
        many = {r["path"]: r["indices"] for r in map(json.loads, out.splitlines())}
        assert many == single, "the parallel run disagrees with the single runs"

        print(f"{'single runs (velk find per dump)':<36} {t_single:8.2f} s")
        print(f"{'in-process loop (open + find)':<36} {t_inproc:8.2f} s")
        print(f"{'velk find over all dumps':<36} {t_many:8.2f} s   "
              f"({t_single / t_many:.1f}x the single runs, {t_inproc / t_many:.1f}x the loop)")


if __name__ == "__main__":
    main()
