"""Inflate throughput: velk's own DEFLATE decoder (the gzip input of
PyTrace.from_vcd_gz and velk.open on a .vcd.gz) beside zlib, measured in the
same run on the same file, best of REPEAT:

  - velk:        GzipByteSource, from the C++ tool bench_inflate
  - zlib (C):    the same reads through zlib's inflate (the reference source
                 of the tests), in the same tool
  - zlib (Py):   Python's zlib.decompressobj over the whole file

    python3 benchmarks/bench_inflate.py FILE.gz [--repeat 5] [--tool PATH]

The tool is built with the C++ tests (build/tests/bench_inflate). Default
FILE: the gzip of the synthetic VCD that bench_vcd.py writes.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def python_zlib(path: str, repeat: int) -> float:
    with open(path, "rb") as f:
        data = f.read()
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        zlib.decompressobj(wbits=31).decompress(data)
        best = min(best, time.perf_counter() - t0)
    return best


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("file")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--tool", default=os.path.join(HERE, "..", "build", "tests", "bench_inflate"))
    args = ap.parse_args()

    out = subprocess.run([args.tool, args.file, str(args.repeat)], check=True, capture_output=True, text=True)
    size, velk_s, zlib_c_s = out.stdout.split()
    size_mb = int(size) / 1e6
    velk_s, zlib_c_s = float(velk_s), float(zlib_c_s)
    zlib_py_s = python_zlib(args.file, args.repeat)

    print(f"{os.path.basename(args.file)}: {os.path.getsize(args.file) / 1e6:.1f} MB gzip, {size_mb:.1f} MB out")
    print(f"{'decoder':<12} {'best s':>8} {'MB/s':>8} {'velk speed-up':>14}")
    for name, s in (("velk", velk_s), ("zlib (C)", zlib_c_s), ("zlib (Py)", zlib_py_s)):
        print(f"{name:<12} {s:8.3f} {size_mb / s:8.1f} {s / velk_s:13.2f}x")


if __name__ == "__main__":
    main()
