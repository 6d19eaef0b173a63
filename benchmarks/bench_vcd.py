"""Times PyTrace.from_vcd on a synthetic ~100 MB VCD and reports MB/s and peak RSS.

    python3 benchmarks/bench_vcd.py [--signals 200 --steps 540000 --changes 12]

The load runs in a fresh child process so that its peak RSS is its own.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from synthetic_vcd import write_vcd  # noqa: E402

CHILD = r"""
import json, resource, sys, time
from velk import PyTrace
t0 = time.perf_counter()
trace = PyTrace.from_vcd(sys.argv[1])
elapsed = time.perf_counter() - t0
print(json.dumps({"seconds": elapsed, "indices": trace.max_index() + 1,
                  "signals": len(trace.signal_names()),
                  "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))
"""


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--signals", type=int, default=200)
    ap.add_argument("--steps", type=int, default=540_000)
    ap.add_argument("--changes", type=int, default=12)
    ap.add_argument("--repeat", type=int, default=3)
    a = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.vcd")
        write_vcd(path, a.signals, a.steps, a.changes)
        size_mb = os.path.getsize(path) / 1e6
        runs = []
        for _ in range(a.repeat):
            out = subprocess.run([sys.executable, "-c", CHILD, path], check=True, capture_output=True, text=True)
            runs.append(json.loads(out.stdout))
        best = min(runs, key=lambda r: r["seconds"])
        print(f"file: {size_mb:.1f} MB, {best['signals']} signals, {best['indices']} indices")
        print(f"from_vcd: best {best['seconds']:.2f} s of {a.repeat} -> {size_mb / best['seconds']:.0f} MB/s, "
              f"peak RSS {best['peak_rss_mb']:.0f} MB")


if __name__ == "__main__":
    main()
