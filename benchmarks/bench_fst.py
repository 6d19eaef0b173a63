"""Load benchmark of velk.PyTrace.from_fst beside fst2vcd, in one table.

Writes the seeded synthetic VCD (2,000 signals x 200,000 steps, 100 changes per
step: about 20 million value changes), converts it with vcd2fst, then runs, each
in a fresh process under /usr/bin/time (wall time and peak RSS):

- velk: PyTrace.from_fst(file.fst)
- reference: fst2vcd file.fst > /dev/null (the converter reading the same file)

    python benchmarks/bench_fst.py [--signals N] [--steps M] [--changes C] [--fst FILE]
"""

import argparse
import inspect
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from synthetic_vcd import write_vcd  # noqa: E402

VELK_LOAD = "import sys, velk; t = velk.PyTrace.from_fst(sys.argv[1]); print(t.max_index() + 1, len(t.signal_names()))"


def timed(argv, stdout=subprocess.DEVNULL):
    """Runs argv under /usr/bin/time; returns (wall seconds, peak RSS in MiB, stdout text)."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report:
        out = subprocess.run(["/usr/bin/time", "-o", report.name, "-f", "%e %M"] + argv, check=True,
                             stdout=stdout if stdout is not None else subprocess.PIPE, text=True)
        wall, peak_kib = report.read().split()[-2:]
    return float(wall), int(peak_kib) / 1024, out.stdout or ""


def make_files(tmp, a):
    vcd = os.path.join(tmp, "bench.vcd")
    fst = os.path.join(tmp, "bench.fst")
    kwargs = {"vector_every": 5} if "vector_every" in inspect.signature(write_vcd).parameters else {}
    write_vcd(vcd, a.signals, a.steps, a.changes, a.seed, **kwargs)
    subprocess.run(["vcd2fst", vcd, fst], check=True, stdout=subprocess.DEVNULL)
    return vcd, fst


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--signals", type=int, default=2000)
    ap.add_argument("--steps", type=int, default=200_000)
    ap.add_argument("--changes", type=int, default=100)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--fst", help="measure this FST (with its VCD next to it as FILE.vcd, if any) instead")
    a = ap.parse_args()
    for tool in ("vcd2fst", "fst2vcd"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} not found")
    if not os.path.exists("/usr/bin/time"):
        sys.exit("/usr/bin/time not found")

    with tempfile.TemporaryDirectory() as tmp:
        if a.fst:
            fst = a.fst
            vcd = os.path.splitext(fst)[0] + ".vcd"
        else:
            vcd, fst = make_files(tmp, a)
        vcd_mb = os.path.getsize(vcd) / 2**20 if os.path.exists(vcd) else float("nan")
        fst_mb = os.path.getsize(fst) / 2**20

        velk_s, velk_rss, shape = timed([sys.executable, "-c", VELK_LOAD, fst], stdout=None)
        ref_s, ref_rss, _ = timed(["fst2vcd", fst])
        indices, signals = shape.split()

        print(f"FST {fst_mb:.1f} MiB from a VCD of {vcd_mb:.1f} MiB: {signals} signals, {indices} indices")
        print(f"{'':28} {'seconds':>8} {'peak RSS MiB':>13} {'RSS / VCD size':>15}")
        print(f"{'velk PyTrace.from_fst':28} {velk_s:8.2f} {velk_rss:13.0f} {velk_rss / vcd_mb:15.2f}")
        print(f"{'fst2vcd FILE > /dev/null':28} {ref_s:8.2f} {ref_rss:13.0f} {ref_rss / vcd_mb:15.2f}")
        print(f"velk / fst2vcd time: {velk_s / ref_s:.2f}")


if __name__ == "__main__":
    main()
