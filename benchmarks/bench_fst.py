"""Load-speed benchmark of velk.PyTrace.from_fst.

Writes a seeded synthetic VCD (about 100 MB by default) to a temporary
directory, converts it with vcd2fst, then times PyTrace.from_fst on the FST
file in a child process (so its peak RSS is the loader's own) and, for
comparison, `fst2vcd file.fst > /dev/null`.

The loaded store is dense (signals x indices x 16 bytes), so the defaults keep
it near 1.7 GB: 200 signals over 540k time steps.

    python benchmarks/bench_fst.py [--signals N] [--steps M] [--seed S]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from synthetic_vcd import write_vcd  # noqa: E402

CHILD = r"""
import resource, sys, time
import velk
start = time.perf_counter()
cpu_start = time.process_time()
trace = velk.PyTrace.from_fst(sys.argv[1])
elapsed = time.perf_counter() - start
cpu = time.process_time() - cpu_start
peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(elapsed, cpu, peak_kib, trace.max_index() + 1, len(trace.signal_names()))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--signals", type=int, default=200)
    parser.add_argument("--steps", type=int, default=540_000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    for tool in ("vcd2fst", "fst2vcd"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} not found")

    with tempfile.TemporaryDirectory() as tmp:
        vcd = os.path.join(tmp, "bench.vcd")
        fst = os.path.join(tmp, "bench.fst")
        write_vcd(vcd, args.signals, args.steps, changes_per_step=12, seed=args.seed)
        subprocess.run(["vcd2fst", vcd, fst], check=True, stdout=subprocess.DEVNULL)
        vcd_mb = os.path.getsize(vcd) / 1e6
        fst_mb = os.path.getsize(fst) / 1e6
        print(f"VCD {vcd_mb:.1f} MB, FST {fst_mb:.1f} MB ({args.signals} signals, {args.steps} steps)")

        child = subprocess.run([sys.executable, "-c", CHILD, fst], check=True, capture_output=True, text=True)
        elapsed, cpu, peak_kib, indices, names = child.stdout.split()
        elapsed, cpu = float(elapsed), float(cpu)
        print(f"velk from_fst: {elapsed:.2f} s wall ({cpu:.2f} s CPU), {fst_mb / elapsed:.1f} MB/s of FST, "
              f"peak RSS {int(peak_kib) / 1024:.0f} MiB, {indices} indices, {names} signals")

        start = time.perf_counter()
        usage_before = os.times()
        with open(os.devnull, "w") as devnull:
            subprocess.run(["fst2vcd", fst], check=True, stdout=devnull)
        usage_after = os.times()
        child_cpu = (usage_after.children_user - usage_before.children_user) + (
            usage_after.children_system - usage_before.children_system)
        print(f"fst2vcd > /dev/null: {time.perf_counter() - start:.2f} s wall ({child_cpu:.2f} s CPU)")


if __name__ == "__main__":
    main()
