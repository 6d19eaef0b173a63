"""The README's shell tour and the shipped examples run as written."""

import pathlib
import shlex
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
README = ROOT / "README.md"


def tour_commands():
    """(command, expected status) for every `$ velk ...` line of the README."""
    lines = README.read_text().splitlines()
    out = []
    for k, line in enumerate(lines):
        text = line.strip()
        if not text.startswith("$ velk "):
            continue
        following = lines[k + 1].strip() if k + 1 < len(lines) else ""
        out.append((text[2:].split("  #")[0].strip(), 2 if following.startswith("velk: column") else 0))
    return out


@pytest.mark.skipif(not README.exists(), reason="run from a source tree")
def test_readme_tour_runs_as_written(tmp_path):
    commands = tour_commands()
    assert len(commands) >= 8
    pytest.importorskip("matplotlib")
    for command, status in commands:
        argv = shlex.split(command)[1:]
        argv = [str(tmp_path / a) if a.endswith((".png", ".svg")) else a for a in argv]
        done = subprocess.run([sys.executable, "-m", "velk", *argv], cwd=ROOT, capture_output=True, text=True)
        assert done.returncode == status, (command, done.stderr)


@pytest.mark.parametrize("example", ["quickstart.py", "tour.py"])
def test_examples_run(example):
    if example == "tour.py":
        pytest.importorskip("matplotlib")
    done = subprocess.run([sys.executable, str(ROOT / "examples" / example)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
