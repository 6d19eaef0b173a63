"""NumPy export against the per-index accessors: timestamps, change lists and
masked columns agree with timestamp/signal_value on dumps of every value kind."""

import random

import pytest

np = pytest.importorskip("numpy")

import velk  # noqa: E402
from velk import PyTrace  # noqa: E402


def column(trace, name, start, end):
    return [trace.signal_value(name, i) for i in range(start, end)]


def as_list(masked):
    return [None if m else v.item() if hasattr(v, "item") else v
            for v, m in zip(masked.data, np.ma.getmaskarray(masked))]


def random_dump(seed):
    rng = random.Random(seed)
    lines = ["$scope module top $end", "$var wire 1 ! bit $end", "$var wire 8 \" byte $end",
             "$var wire 100 # wide $end", "$var real 64 $ temp $end", "$upscope $end", "$enddefinitions $end"]
    for t in range(rng.randrange(1, 80)):
        lines.append(f"#{t * 3 + rng.randrange(3)}")
        for code, make in (("!", lambda: rng.choice("01xz")), ("\"", lambda: f"b{rng.randrange(256):b} "),
                           ("#", lambda: "b" + "".join(rng.choice("01x" if rng.random() < .1 else "01")
                                                        for _ in range(100)) + " "),
                           ("$", lambda: f"r{rng.choice([0.5, -2.0, 3.25])} ")):
            if rng.random() < 0.4:
                lines.append(make() + code)
    return PyTrace.from_vcd_string("\n".join(lines) + "\n")


def test_agrees_with_accessors_on_random_dumps():
    names = ["top.bit", "top.byte", "top.wide", "top.temp"]
    for seed in range(40):
        trace = random_dump(seed)
        last = trace.max_index()
        assert velk.timestamps(trace).tolist() == [trace.timestamp(i) for i in range(last + 1)]
        rng = random.Random(seed)
        start = rng.randrange(last + 1)
        end = rng.randrange(start, last + 3)
        for name in names:
            assert as_list(velk.to_numpy(trace, name, start, end)) == column(trace, name, start, min(end, last + 1))
            indices, values = velk.changes(trace, name)
            expected = column(trace, name, 0, last + 1)
            assert indices[0] == 0 and np.all(np.diff(indices.astype(np.int64)) > 0)
            # Expanding the runs gives the column back.
            runs = as_list(values)
            bounds = [*indices.tolist(), last + 1]
            rebuilt = [runs[k] for k in range(len(runs)) for _ in range(bounds[k + 1] - bounds[k])]
            assert rebuilt == expected
        grid = velk.to_numpy(trace, names, start, end)
        assert grid.shape == (4, min(end, last + 1) - start)
        for row, name in zip(grid, names):
            assert as_list(row) == [None if v is None else row.dtype.type(v).item()
                                    for v in column(trace, name, start, min(end, last + 1))]


def test_changes_match_transitions(example_vcd):
    trace = velk.open(example_vcd)
    indices, values = velk.changes(trace, "tb.count")
    assert indices.dtype == np.uint64 and values.dtype == np.uint64
    moves = trace.transitions("tb.count")
    assert indices[1:].tolist() == [i for i, _, _ in moves]
    assert as_list(values)[1:] == [new for _, _, new in moves]


def test_unknown_names_and_empty_ranges():
    trace = PyTrace.from_vcd_string(
        "$var real 64 ! r $end\n$var wire 4 \" n $end\n$enddefinitions $end\n#0\nr1.5 !\nb1 \"\n#5\nr2 !\n")
    grid = velk.to_numpy(trace, ["r", "n"])
    assert grid.dtype == np.float64
    assert grid[0].tolist() == [1.5, 2.0] and grid[1].tolist() == [1.0, 1.0]
    with pytest.raises(KeyError):
        velk.to_numpy(trace, "nope")
    with pytest.raises(KeyError):
        velk.changes(trace, "nope")
    assert velk.to_numpy(trace, "n", 5, 2).shape == (0,)
    assert velk.to_numpy(trace, ["n"], 1, 1).shape == (1, 0)
    with pytest.raises(ValueError):
        velk.to_numpy(trace, "n", -1)
    times = velk.timestamps(trace)
    times[0] = 7  # a writable array of its own
    assert trace.timestamp(0) == 0
