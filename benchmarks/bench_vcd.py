"""Loads the 2,000-signal x 200,000-step synthetic VCD (about 200 MB, 20M value
changes) and prints one table: velk's load time, MB/s and peak RSS for the plain
file and its gzip-compressed form, beside `wc -l` of the same file and, when it
is installed, the pure-Python reader vcdvcd, all measured in the same run.

    python3 benchmarks/bench_vcd.py [--dir DIR] [--repeat 3] [--no-vcdvcd]
                                    [--signals N --steps M --changes C]

A big design's dump, many signals and few changes each, is the same
benchmark with other sizes, for example --signals 500000 --steps 100
--changes 10000 (about 21 MB, half of it declarations).

The file is written once into DIR (kept between runs; default: a temporary
directory). Every load runs in a fresh process; peak RSS is that process's
maximum resident set as /usr/bin/time reports it.
"""

from __future__ import annotations

import argparse
import gzip
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from synthetic_vcd import write_vcd  # noqa: E402

VECTOR_EVERY, SEED = 5, 1

VELK = r"""
import sys, time
from velk import PyTrace
load = PyTrace.from_vcd_gz if sys.argv[1].endswith(".gz") else PyTrace.from_vcd
t0 = time.perf_counter()
trace = load(sys.argv[1])
print(time.perf_counter() - t0, trace.max_index() + 1, len(trace.signal_names()))
"""

VCDVCD = r"""
import sys, time
import vcdvcd
t0 = time.perf_counter()
v = vcdvcd.VCDVCD(sys.argv[1])
print(time.perf_counter() - t0, 0, len(v.signals))
"""


def timed(cmd: list[str]) -> tuple[float, float, str]:
    """Runs cmd under /usr/bin/time; returns (wall seconds, peak RSS MB, stdout)."""
    t0 = time.perf_counter()
    out = subprocess.run(["/usr/bin/time", "-f", "%M", *cmd], check=True, capture_output=True, text=True)
    wall = time.perf_counter() - t0
    rss_kb = int(out.stderr.strip().splitlines()[-1])
    return wall, rss_kb / 1024, out.stdout


def best(runs: int, fn):
    results = [fn() for _ in range(runs)]
    return min(results, key=lambda r: r[0])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dir", help="where to keep the generated files (default: a temporary directory)")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--no-vcdvcd", action="store_true", help="skip vcdvcd even when installed")
    ap.add_argument("--signals", type=int, default=2000)
    ap.add_argument("--steps", type=int, default=200_000)
    ap.add_argument("--changes", type=int, default=100, help="signals changing per step")
    a = ap.parse_args()

    tmp = None
    folder = a.dir
    if folder is None:
        tmp = tempfile.mkdtemp()
        folder = tmp
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, f"synthetic_{a.signals}x{a.steps}_c{a.changes}_s{SEED}.vcd")
    gz_path = path + ".gz"
    try:
        if not os.path.exists(path):
            print(f"writing {path} ...", file=sys.stderr)
            write_vcd(path + ".part", a.signals, a.steps, a.changes, SEED, VECTOR_EVERY)
            os.replace(path + ".part", path)
        if not os.path.exists(gz_path):
            print(f"writing {gz_path} ...", file=sys.stderr)
            with open(path, "rb") as src, gzip.open(gz_path + ".part", "wb", compresslevel=6) as dst:
                shutil.copyfileobj(src, dst, 1 << 20)
            os.replace(gz_path + ".part", gz_path)
        size_mb = os.path.getsize(path) / 1e6
        gz_mb = os.path.getsize(gz_path) / 1e6

        # Warm the page cache so every reader starts from the same place.
        subprocess.run(["cat", path, gz_path], stdout=subprocess.DEVNULL, check=True)

        def velk_load(p):
            wall, rss, out = timed([sys.executable, "-c", VELK, p])
            secs, indices, names = out.split()
            return float(secs), rss, int(indices), int(names)

        wc = best(a.repeat, lambda: timed(["wc", "-l", path])[:2])
        plain = best(a.repeat, lambda: velk_load(path))
        packed = best(a.repeat, lambda: velk_load(gz_path))
        peer = None
        if not a.no_vcdvcd and importlib.util.find_spec("vcdvcd") is not None:
            wall, rss, out = timed([sys.executable, "-c", VCDVCD, path])
            peer = (float(out.split()[0]), rss)

        print(f"synthetic VCD: {a.signals} signals x {a.steps} steps, {a.changes} changes/step, "
              f"{size_mb:.1f} MB ({gz_mb:.1f} MB gzip); velk read {plain[2]} indices, {plain[3]} names")
        print(f"{'reader':<28}{'time s':>9}{'MB/s':>9}{'peak RSS MB':>13}{'RSS/file':>10}")
        rows = [("wc -l", wc[0], wc[1]), ("velk from_vcd", plain[0], plain[1]),
                ("velk from_vcd_gz", packed[0], packed[1])]
        if peer:
            rows.append(("vcdvcd (pure Python)", peer[0], peer[1]))
        for name, secs, rss in rows:
            print(f"{name:<28}{secs:>9.3f}{size_mb / secs:>9.0f}{rss:>13.0f}{rss / size_mb:>10.2f}")
        print(f"velk / wc -l time: {plain[0] / wc[0]:.1f}x (target <= 6x); "
              f"gzip / plain: {packed[0] / plain[0]:.2f}x (target <= 1.5x); "
              f"peak RSS / file: {plain[1] / size_mb:.2f}x (target <= 1.5x)")
        if peer:
            print(f"vcdvcd / velk time: {peer[0] / plain[0]:.0f}x (target >= 50x)")
        else:
            print("vcdvcd not installed (pip install vcdvcd) or skipped")
    finally:
        if tmp:
            shutil.rmtree(tmp)


if __name__ == "__main__":
    main()
