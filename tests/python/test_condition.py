"""The condition language: random conditions give the same indices as the
hand-built PyExpr of the same tree; errors name the column."""

import pathlib
import random

import pytest

import velk
from velk import PyExpr, PyTrace
from velk.condition import ConditionError


def random_vcd(seed, steps=60):
    """A dump with 1-bit, 4-bit and 8-bit signals, a real, x and z states."""
    rng = random.Random(seed)
    lines = [
        "$timescale 1ns $end", "$scope module top $end",
        "$var wire 1 ! clk $end", "$var wire 1 \" en $end", "$var wire 4 # nib $end",
        "$var wire 8 $ data $end", "$var real 64 % temp $end",
        "$upscope $end", "$enddefinitions $end",
    ]
    for t in range(steps):
        lines.append(f"#{t * 5}")
        if rng.random() < 0.7:
            lines.append(f"{rng.choice('01xz')}!")
        if rng.random() < 0.5:
            lines.append(f"{rng.choice('01')}\"")
        if rng.random() < 0.5:
            bits = "".join(rng.choice("0101x" if rng.random() < 0.2 else "01") for _ in range(4))
            lines.append(f"b{bits} #")
        if rng.random() < 0.6:
            lines.append(f"b{rng.randrange(256):b} $")
        if rng.random() < 0.3:
            lines.append(f"r{rng.uniform(-5, 5):.3f} %")
    return PyTrace.from_vcd_string("\n".join(lines) + "\n")


NAMES = ["top.clk", "top.en", "top.nib", "top.data", "top.temp"]

# Binding strength of each node kind, loosest first.
LEVEL = {"or": 1, "and": 2, "not": 3, "cmp": 4, "|": 5, "^": 6, "&": 7, "+": 8, "-": 8, "post": 9, "atom": 10}
CMP = {"==": PyExpr.eq_, "!=": PyExpr.neq, "<": PyExpr.lt_, ">": PyExpr.gt_, "<=": PyExpr.lte, ">=": PyExpr.gte}
BIN = {"|": PyExpr.bit_or, "^": PyExpr.bit_xor, "&": PyExpr.bit_and, "+": PyExpr.add, "-": PyExpr.sub}


def wrap(node, minimum):
    text, level, build = node
    return (f"({text})" if level < minimum else text), build


def random_node(rng, trace, depth):
    """(text with minimal parentheses, binding level, builder of the same tree)."""
    if depth == 0 or rng.random() < 0.25:
        kind = rng.choice(["name", "quoted", "int", "hex", "float", "str", "true"])
        if kind in ("name", "quoted"):
            name = rng.choice(NAMES)
            sid = trace.signal_id(name)
            return (f"`{name}`" if kind == "quoted" else name), 10, lambda: PyExpr.signal(sid)
        if kind == "int":
            v = rng.choice([0, 1, 3, 5, 200, 2**64 - 1])
            return str(v), 10, lambda: PyExpr.const_int(v)
        if kind == "hex":
            v = rng.randrange(256)
            return f"0x{v:X}", 10, lambda: PyExpr.const_int(v)
        if kind == "float":
            v = rng.choice([0.5, 2.25, 1e3])
            return repr(v), 10, lambda: PyExpr.const_float(v)
        if kind == "str":
            return '"5"', 10, lambda: PyExpr.const_str("5")
        return "true", 10, PyExpr.always_true
    kind = rng.choice(["or", "and", "not", "cmp", "bin", "slice", "rel", "isx", "isz", "paren"])
    sub = lambda: random_node(rng, trace, depth - 1)  # noqa: E731
    if kind in ("or", "and"):
        (lt, lb), (rt, rb) = wrap(sub(), LEVEL[kind]), wrap(sub(), LEVEL[kind] + 1)
        method = PyExpr.or_ if kind == "or" else PyExpr.and_
        return f"{lt} {kind} {rt}", LEVEL[kind], lambda: method(lb(), rb())
    if kind == "not":
        t, b = wrap(sub(), LEVEL["not"])
        return f"not {t}", LEVEL["not"], lambda: b().not_()
    if kind == "cmp":
        op = rng.choice(list(CMP))
        (lt, lb), (rt, rb) = wrap(sub(), LEVEL["cmp"] + 1), wrap(sub(), LEVEL["cmp"] + 1)
        return f"{lt} {op} {rt}", LEVEL["cmp"], lambda: CMP[op](lb(), rb())
    if kind == "bin":
        op = rng.choice(list(BIN))
        (lt, lb), (rt, rb) = wrap(sub(), LEVEL[op]), wrap(sub(), LEVEL[op] + 1)
        return f"{lt} {op} {rt}", LEVEL[op], lambda: BIN[op](lb(), rb())
    if kind == "slice":
        t, b = wrap(sub(), LEVEL["post"])
        high = rng.randrange(8)
        low = rng.randrange(high + 1)
        if high == low and rng.random() < 0.5:
            return f"{t}[{high}]", LEVEL["post"], lambda: b().slice(high, low)
        return f"{t}[{high}:{low}]", LEVEL["post"], lambda: b().slice(high, low)
    if kind == "rel":
        t, b = wrap(sub(), LEVEL["post"])
        offset = rng.choice([-2, -1, 1])
        return f"{t}@{offset:+d}" if offset > 0 else f"{t}@{offset}", LEVEL["post"], lambda: b().rel_eval(offset)
    if kind in ("isx", "isz"):
        text, _, b = sub()
        method = PyExpr.is_x if kind == "isx" else PyExpr.is_z
        return f"{kind}({text})", 10, lambda: method(b())
    text, _, b = sub()
    return f"({text})", 10, b


def test_random_conditions_match_hand_built_trees():
    checked = 0
    for seed in range(12):
        trace = random_vcd(seed)
        rng = random.Random(1000 + seed)
        for _ in range(60):
            text, _, build = random_node(rng, trace, rng.randrange(1, 5))
            parsed = velk.parse_condition(trace, text)
            assert trace.find(parsed) == trace.find(build()), text
            last = trace.max_index()
            assert [trace.eval_expr(parsed, i) for i in (0, last)] == [trace.eval_expr(build(), i) for i in (0, last)]
            checked += 1
    assert checked == 720


def test_precedence_and_spellings():
    trace = random_vcd(7)
    clk, en, nib, data = (PyExpr.signal(trace.signal_id(n)) for n in NAMES[:4])
    one = PyExpr.const_int(1)
    same = {
        # comparisons bind looser than arithmetic, as in Python
        "top.data & 1 == 1": data.bit_and(one).eq_(one),
        "top.en or top.clk and not top.en": en.or_(clk.and_(en.not_())),
        "top.en || top.clk && !top.en": en.or_(clk.and_(en.not_())),
        "top.data - 1 - 1 > 0": data.sub(one).sub(one).gt_(PyExpr.const_int(0)),
        "top.nib@-1 != top.nib": nib.rel_eval(-1).neq(nib),
        "top.data[7:4] == 0b1_010": data.slice(7, 4).eq_(PyExpr.const_int(10)),
        "top.temp > -1.5": PyExpr.signal(trace.signal_id("top.temp")).gt_(PyExpr.const_float(-1.5)),
        "isz(top.clk) or isx(top.clk)": clk.is_z().or_(clk.is_x()),
        "signed(top.nib) < 0": nib.signed().lt_(PyExpr.const_int(0)),
        "false or top.en": PyExpr.always_true().not_().or_(en),
    }
    for text, tree in same.items():
        assert trace.find(velk.parse_condition(trace, text)) == trace.find(tree), text


def test_names_with_bit_ranges_resolve():
    vcd = "$scope module tb $end\n$var wire 4 ! count [3:0] $end\n$upscope $end\n$enddefinitions $end\n#0\nb101 !\n"
    trace = PyTrace.from_vcd_string(vcd)
    assert trace.find(velk.parse_condition(trace, "`tb.count` == 5")) == [0]


def test_fst_names_need_no_bit_range():
    trace = velk.open(pathlib.Path(__file__).resolve().parent.parent / "data" / "fst" / "iverilog.fst")
    ranged = next(n for n in trace.signal_names() if " [" in n)
    short = ranged.split(" [")[0]
    assert trace.find(velk.parse_condition(trace, f"`{ranged}` == 3")) == \
        trace.find(velk.parse_condition(trace, f"{short} == 3"))


@pytest.mark.parametrize("text, column, message", [
    ("", 1, "empty condition"),
    ("top.en and", 11, "expected a signal name"),
    ("top.en == == 1", 11, "expected a signal name"),
    ("top.nope == 1", 1, "unknown signal 'top.nope'"),
    ("top.en == 1 == 1", 13, "cannot be chained"),
    ("(top.en", 8, "expected ')'"),
    ("top.data[7:] == 1", 12, "expected the low bit index"),
    ("top.data ? 1", 10, "unexpected character '?'"),
    ("`top.en", 1, "backquoted name is not closed"),
    ("top.en == \"abc", 11, "string is not closed"),
    ("top.en == 18446744073709551616", 11, "does not fit in 64 bits"),
    ("top.en == -1", 11, "negative integers are not supported"),
    ("top.en top.clk", 8, "unexpected 'top.clk'"),
    ("not", 4, "expected a signal name, a number or '(', found the end"),
])
def test_errors_point_at_the_column(text, column, message):
    trace = random_vcd(1)
    with pytest.raises(ConditionError) as info:
        velk.parse_condition(trace, text)
    assert isinstance(info.value, ValueError)
    assert info.value.column == column, str(info.value)
    assert message in str(info.value)
    assert str(info.value).splitlines()[-1] == "  " + " " * (column - 1) + "^"


def test_nesting_past_the_stack_is_a_condition_error():
    trace = random_vcd(1)
    name = trace.signal_names()[0]
    assert velk.parse_condition(trace, "(" * 40 + name + ")" * 40) is not None
    for text in ("(" * 5000 + name + ")" * 5000, "not " * 5000 + name):
        with pytest.raises(ConditionError, match="condition is nested too deeply"):
            velk.parse_condition(trace, text)
