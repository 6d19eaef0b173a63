"""Change queries, statistics and name searches against plain Python
implementations of their rules, on a dump from a real simulator."""

import fnmatch
import math

import pytest
from vcd_reference import EMPTY, ReferenceVcd, to_python

from velk import PyTrace


@pytest.fixture(scope="module")
def rich(rich_vcd):
    return PyTrace.from_vcd(str(rich_vcd)), ReferenceVcd(rich_vcd.read_bytes())


def raw(ref, name, i):
    return ref.grid[i].get(ref.vars[name][1], EMPTY) if i < len(ref.grid) else EMPTY


def differ(a, b):
    if a[0] != b[0]:
        return True
    if a[0] == "real":
        return not (a[1] == b[1])
    return a != b


def py(v):
    return to_python(v)


def same(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return type(a) is type(b) and a == b


def test_transitions(rich):
    trace, ref = rich
    for name in ref.names + ["missing"]:
        want = []
        if name in ref.vars:
            for i in range(1, ref.max_index() + 1):
                if differ(raw(ref, name, i - 1), raw(ref, name, i)):
                    want.append((i, py(raw(ref, name, i - 1)), py(raw(ref, name, i))))
        got = trace.transitions(name)
        assert len(got) == len(want), name
        assert all(g[0] == w[0] and same(g[1], w[1]) and same(g[2], w[2]) for g, w in zip(got, want))


def test_changed_at_and_scope(rich):
    trace, ref = rich
    assert trace.changed_at(0) == []
    for i in range(1, ref.max_index() + 2):
        want = [(n, py(raw(ref, n, i - 1)), py(raw(ref, n, i))) for n in ref.names
                if differ(raw(ref, n, i - 1), raw(ref, n, i))]
        got = trace.changed_at(i)
        assert [g[0] for g in got] == [w[0] for w in want]
        for scope in ("tb", "tb.m", "tb.m.a", "t"):
            scoped = [w[0] for w in want if w[0].startswith(scope + ".")]
            assert [g[0] for g in trace.changed_at_scope(i, scope)] == scoped


def test_signal_stats(rich):
    trace, ref = rich
    for name in ref.names:
        lo, hi, total, count, trans, nx, nz = 2**64 - 1, 0, 0, 0, 0, 0, 0
        prev = EMPTY
        for i in range(ref.max_index() + 1):
            v = raw(ref, name, i)
            if v[0] == "bits":
                lo, hi, total, count = min(lo, v[1]), max(hi, v[1]), (total + v[1]) % 2**64, count + 1
            elif v[0] == "logic":
                nx += v[1].count(2)
                nz += v[1].count(3)
            elif v is EMPTY or v == EMPTY:
                nx += 1
            if i > 0 and differ(prev, v):
                trans += 1
            prev = v
        assert trace.signal_stats(name) == (lo if count else 0, hi, total, count, trans, nx, nz), name
    assert trace.signal_stats("missing") == (0,) * 7


def test_name_searches_and_scope_walks(rich):
    trace, ref = rich
    names = ref.names
    for pattern in ("tb.*", "*.clk", "*q*", "tb.m.?.q", "", "*", "*.*.*.d"):
        assert trace.find_signals_glob(pattern) == [n for n in names if fnmatch.fnmatchcase(n, pattern)]
    for needle in ("Q", "M.A", "", "wide", "ÄÖ"):
        assert trace.find_signals_containing(needle) == [n for n in names if needle.lower() in n.lower()]
    assert trace.local_scopes("") == ["tb"]
    assert trace.local_scopes("tb") == ["tb.m"]
    assert trace.local_scopes("tb.m") == ["tb.m.a", "tb.m.b"]
    assert trace.local_signals("tb.m.a") == [n for n in names if n.startswith("tb.m.a.") and n.count(".") == 3]
    assert trace.resolve("tb.m", "q") == "tb.m.q"
    assert trace.resolve("tb.m", "d") == "tb.m.d"
    assert trace.resolve("", "clk") == "tb.clk"
    assert trace.resolve("tb", "nothing") is None
