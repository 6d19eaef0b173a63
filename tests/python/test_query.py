"""Searches over the worker pool as Python programs use them: forked worker
processes, pool sizes from the environment, and case-folded name search."""

import multiprocessing
import os
import subprocess
import sys

import pytest

from velk import PyExpr, PyTrace


def counter_vcd(indices):
    lines = ["$scope module top $end", "$var wire 8 ! count [7:0] $end", "$var wire 1 \" valid $end",
             "$upscope $end", "$enddefinitions $end"]
    for t in range(indices):
        lines += [f"#{t}", f"b{t % 13:b} !", f"{(t // 3) & 1}\""]
    return "\n".join(lines) + "\n"


def query(trace):
    count = PyExpr.signal(trace.signal_id("top.count"))
    valid = PyExpr.signal(trace.signal_id("top.valid"))
    return count.eq_(PyExpr.const_int(5)).and_(valid.rel_eval(-1))


def expected_hits(indices):
    return [t for t in range(1, indices) if t % 13 == 5 and ((t - 1) // 3) & 1]


def child_search(indices):
    trace = PyTrace.from_vcd_string(counter_vcd(indices))
    return trace.parallel_find(query(trace)), trace.parallel_count(query(trace))


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_workers_after_the_pool_exists():
    indices = 30000
    trace = PyTrace.from_vcd_string(counter_vcd(indices))
    want = expected_hits(indices)
    assert trace.parallel_find(query(trace)) == want  # the parent's pool is running now
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(2) as pool:
        results = pool.map_async(child_search, [indices] * 4).get(timeout=120)
    assert results == [(want, len(want))] * 4


@pytest.mark.parametrize("threads", ["1", "7"])
def test_pool_size_from_environment_gives_the_same_hits(threads):
    code = ("import sys; sys.path[:0] = [%r]; from test_query import *; "
            "hits, n = child_search(20000); print(hits == expected_hits(20000), n)") % os.path.dirname(__file__)
    env = dict(os.environ, RAYON_NUM_THREADS=threads)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["True", str(len(expected_hits(20000)))]


def test_find_matches_parallel_find_on_many_pieces():
    trace = PyTrace.from_vcd_string(counter_vcd(50000))
    expr = query(trace)
    assert trace.find(expr) == trace.parallel_find(expr) == expected_hits(50000)
    assert trace.parallel_count(PyExpr.always_true()) == 50000


def test_containing_folds_like_str_lower():
    names = ["\u0130dx", "STRA\u1e9eE", "\u039f\u0394\u039f\u03a3", "clk_Div", "\u03a3\u0391"]
    vcd = "$scope module top $end\n" + "".join(
        f"$var wire 1 {chr(33 + k)} {n} $end\n" for k, n in enumerate(names)) + "$upscope $end\n$enddefinitions $end\n#0\n"
    trace = PyTrace.from_vcd_string(vcd)
    full = trace.signal_names()
    for needle in ["I", "id", "\u0130D", "\u00df", "ss", "\u03c2", "\u03c3", "\u03a3", "DIV", ""]:
        assert trace.find_signals_containing(needle) == [n for n in full if needle.lower() in n.lower()], needle
