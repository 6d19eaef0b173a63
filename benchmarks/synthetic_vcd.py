"""Writes a seeded synthetic VCD: N signals (scalars and buses) over M time steps."""

from __future__ import annotations

import argparse
import random


def identifier(n: int) -> str:
    chars = []
    n += 1
    while n:
        n, r = divmod(n - 1, 94)
        chars.append(chr(33 + r))
    return "".join(chars)


def write_vcd(path: str, signals: int, steps: int, changes_per_step: int, seed: int = 1,
              vector_every: int = 3) -> None:
    """Every `vector_every`-th signal is a bus of 8, 16, 32 or 64 bits, the rest
    are scalars; `changes_per_step` distinct signals change at each step."""
    rng = random.Random(seed)
    widths = [1 if i % vector_every else rng.choice([8, 16, 32, 64]) for i in range(signals)]
    codes = [identifier(i) for i in range(signals)]
    with open(path, "w", buffering=1 << 20) as f:
        f.write("$timescale 1ns $end\n$scope module top $end\n")
        for i, (w, c) in enumerate(zip(widths, codes)):
            if i % 50 == 0:
                f.write(f"$scope module blk{i // 50} $end\n")
            f.write(f"$var wire {w} {c} sig{i}{'' if w == 1 else f' [{w - 1}:0]'} $end\n")
            if i % 50 == 49 or i == signals - 1:
                f.write("$upscope $end\n")
        f.write("$upscope $end\n$enddefinitions $end\n")
        t = 0
        for step in range(steps):
            out = [f"#{t}\n"]
            picks = range(signals) if step == 0 else rng.sample(range(signals), changes_per_step)
            for i in picks:
                w = widths[i]
                if w == 1:
                    out.append(f"{rng.choice('0101x')}{codes[i]}\n")
                else:
                    out.append(f"b{rng.getrandbits(w):b} {codes[i]}\n")
            f.write("".join(out))
            t += rng.randint(1, 10)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("path")
    ap.add_argument("--signals", type=int, default=200)
    ap.add_argument("--steps", type=int, default=540_000)
    ap.add_argument("--changes", type=int, default=12)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--vector-every", type=int, default=3)
    a = ap.parse_args()
    write_vcd(a.path, a.signals, a.steps, a.changes, a.seed, a.vector_every)


if __name__ == "__main__":
    main()
