"""The velk command: every command's output, --json, exit statuses, errors on
stderr, and several dumps read in parallel giving the same answers as one
dump at a time."""

import json
import os
import shutil
import subprocess
import sys
import time

import pytest

import velk
from velk import cli


def run(*args):
    """(status, stdout, stderr) of `python -m velk args`."""
    done = subprocess.run([sys.executable, "-m", "velk", *map(str, args)], capture_output=True, text=True)
    return done.returncode, done.stdout, done.stderr


def call(capsys, *args):
    """(status, stdout, stderr) of velk.cli.main in this process."""
    try:
        status = cli.main([str(a) for a in args])
    except SystemExit as exit_:
        status = exit_.code
    out, err = capsys.readouterr()
    return status, out, err


COMMANDS = ["info", "list", "values", "find", "transitions", "stats", "scopes", "plot"]


def test_help_everywhere():
    status, out, _ = run("--help")
    assert status == 0 and all(c in out for c in COMMANDS)
    for command in COMMANDS:
        status, out, _ = run(command, "--help")
        assert status == 0 and out.startswith("usage: velk " + command), command
    if shutil.which("velk"):
        assert subprocess.run(["velk", "--help"], capture_output=True).returncode == 0
    assert run("--version")[1].strip() == f"velk {velk.__version__}"


def test_usage_errors_exit_2(capsys, example_vcd):
    assert call(capsys, )[0] == 2
    assert call(capsys, "frobnicate")[0] == 2
    assert call(capsys, "values", example_vcd, "tb.count", "--at", "1", "--time", "5")[0] == 2
    assert call(capsys, "values", example_vcd, "tb.count", "--range", "5:2")[0] == 2
    status, out, err = call(capsys, "find", example_vcd, "tb.count == ")
    assert status == 2 and out == "" and "column 13" in err


def test_failures_exit_1_on_stderr(capsys, tmp_path, example_vcd):
    status, out, err = call(capsys, "info", tmp_path / "none.vcd")
    assert (status, out) == (1, "") and "No such file or directory" in err
    (tmp_path / "notes.txt").write_text("hello\n")
    status, out, err = call(capsys, "list", tmp_path / "notes.txt")
    assert status == 1 and "not a dump of any format velk reads" in err
    status, out, err = call(capsys, "stats", example_vcd, "tb.nope")
    assert status == 1 and "unknown signal 'tb.nope'" in err
    status, out, err = call(capsys, "values", example_vcd, "tb.nope")
    assert status == 1 and "unknown signal" in err
    assert call(capsys, "info", tmp_path / "*.nothing")[0] == 1


def test_single_dump_commands(capsys, example_vcd):
    trace = velk.open(example_vcd)
    status, out, _ = call(capsys, "list", example_vcd, "tb.dut.*")
    assert status == 0
    assert [line.split() for line in out.splitlines()] == \
        [[str(trace.signal_width(n)), n] for n in trace.find_signals_glob("tb.dut.*")]

    status, out, _ = call(capsys, "values", example_vcd, "tb.count", "tb.en", "--range", "2:6")
    rows = [line.split("\t") for line in out.splitlines()]
    assert rows[0] == ["index", "time", "tb.count", "tb.en"]
    assert rows[1:] == [[str(i), str(trace.timestamp(i)), *(cli.format_value(trace.signal_value(n, i))
                                                             for n in ("tb.count", "tb.en"))] for i in range(2, 6)]
    t = trace.timestamp(10)
    assert call(capsys, "values", example_vcd, "tb.count", "--time", t + 1, "--json")[1] == \
        json.dumps({"index": 10, "time": t, "values": {"tb.count": trace.signal_value("tb.count", 10)}}) + "\n"

    status, out, _ = call(capsys, "transitions", example_vcd, "tb.en")
    assert out.splitlines() == [f"{i}\t{trace.timestamp(i)}\t{cli.format_value(a)} -> {cli.format_value(b)}"
                                for i, a, b in trace.transitions("tb.en")]

    status, out, _ = call(capsys, "stats", example_vcd, "tb.count", "--json")
    stats = json.loads(out)
    assert [stats[k] for k in ("min", "max", "sum", "count", "transitions", "num_x", "num_z")] == \
        list(trace.signal_stats("tb.count"))

    assert call(capsys, "scopes", example_vcd)[1] == "tb\n  dut\n"

    status, out, _ = call(capsys, "info", example_vcd, "--json")
    info = json.loads(out)
    assert info["format"] == "vcd" and info["signals"] == len(trace.signal_names())
    assert info["indices"] == trace.max_index() + 1 and info["size"] == os.path.getsize(example_vcd)


def test_find_single_dump(capsys, example_vcd):
    trace = velk.open(example_vcd)
    condition = "tb.clk and not tb.clk@-1"
    expected = trace.parallel_find(velk.parse_condition(trace, condition))
    status, out, _ = call(capsys, "find", example_vcd, condition)
    assert out.splitlines() == [f"{i}\t{trace.timestamp(i)}" for i in expected]
    assert call(capsys, "find", example_vcd, condition, "--count")[1] == f"{len(expected)}\n"
    status, out, _ = call(capsys, "find", example_vcd, condition, "--first", "2", "--json")
    assert json.loads(out) == {"path": str(example_vcd), "count": len(expected), "indices": expected[:2],
                               "times": [trace.timestamp(i) for i in expected[:2]]}


def make_dumps(directory, count):
    """`count` VCD dumps whose counters run at different speeds, one broken."""
    paths = []
    for k in range(count):
        lines = ["$scope module tb $end", "$var wire 1 ! clk $end", "$var wire 8 # n $end", "$upscope $end",
                 "$enddefinitions $end"]
        for t in range(400):
            lines += [f"#{t * 10}", f"{t % 2}!", f"b{(t * (k + 1)) % 256:b} #"]
        path = directory / f"run{k:02d}.vcd"
        path.write_text("\n".join(lines) + "\n")
        paths.append(path)
    return paths


def test_many_dumps_match_single_runs(capsys, tmp_path):
    paths = make_dumps(tmp_path, 50)
    condition = "tb.clk and tb.n[3:0] == 6"
    single = {}
    for path in paths:
        status, out, _ = call(capsys, "find", path, condition, "--json")
        assert status == 0
        single[str(path)] = json.loads(out)
    started = time.perf_counter()
    status, out, err = run("find", tmp_path / "run*.vcd", condition, "--json")
    assert status == 0, err
    assert time.perf_counter() - started < 120
    many = [json.loads(line) for line in out.splitlines()]
    assert {m["path"]: m for m in many} == single


def test_many_dumps_report_each_failure(capsys, tmp_path):
    paths = make_dumps(tmp_path, 3)
    broken = tmp_path / "broken.vcd"
    broken.write_bytes(b"\x00garbage")
    status, out, err = call(capsys, "stats", *paths, broken, "tb.n", "--jobs", "2")
    assert status == 1
    assert sorted(line.split(":")[0] for line in out.splitlines()) == sorted(map(str, paths))
    assert err.count("velk: ") == 1 and str(broken) in err
    status, out, err = call(capsys, "info", *paths, broken, "--json")
    records = [json.loads(line) for line in out.splitlines()]
    assert {r["path"] for r in records if "error" in r} == {str(broken)}
    assert len(records) == 4


def test_plot_command(capsys, tmp_path, example_vcd):
    pytest.importorskip("matplotlib")
    out_png = tmp_path / "wave.png"
    status, out, err = call(capsys, "plot", example_vcd, "tb.clk", "tb.count", "--range", "0:30",
                            "-o", out_png, "--size", "800x300")
    assert status == 0, err
    assert out_png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
