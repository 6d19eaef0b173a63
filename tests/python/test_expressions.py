"""PyExpr building and the evaluation methods of PyTrace, checked against a
plain Python evaluation of the expression rules over the reference VCD model."""

import math
import random
import threading

import pytest
from vcd_reference import EMPTY, ReferenceVcd

from velk import PyExpr, PyTrace

MASK = (1 << 64) - 1
BINARY = ["and_", "or_", "eq_", "neq", "gt_", "lt_", "gte", "lte", "add", "sub", "bit_and", "bit_or", "bit_xor"]
UNARY = ["not_", "signed", "is_x", "is_z"]


# --- reference evaluation -------------------------------------------------------

def truth(v) -> bool:
    kind = v[0]
    if kind == "bits":
        return v[1] != 0
    if kind == "logic":
        return 1 in v[1]
    if kind == "real":
        return v[1] != 0.0
    if kind == "str":
        return v[1] != ""
    return False


def number(v):
    kind = v[0]
    if kind == "bits":
        return v[1]
    if kind == "logic":
        if any(e > 1 for e in v[1]):
            return None
        n = 0
        for e in v[1]:
            n = ((n << 1) | e) & MASK
        return n
    if kind == "real":
        x = v[1]
        if math.isnan(x) or x <= 0:
            return 0
        return MASK if x >= 2.0**64 else int(x)
    if kind == "str":
        s = v[1][1:] if v[1].startswith("+") else v[1]
        if s and all("0" <= c <= "9" for c in s) and int(s) <= MASK:
            return int(s)
        return None
    return None


def same(a, b) -> bool:
    if a[0] != b[0]:
        return False
    if a[0] == "real":
        return a[1] == b[1]
    return a == b


def as_bool(flag: bool):
    return ("bits", 1 if flag else 0)


def ref_eval(ref: ReferenceVcd, ids: dict, node, i: int):
    op = node[0]
    if op == "signal":
        row = ref.grid[i] if i < len(ref.grid) else {}
        return row.get(node[1], EMPTY)
    if op == "const":
        return node[1]
    if op == "always_true":
        return ("bits", 1)
    if op == "rel_eval":
        target = i + node[2]
        if target < 0 or target > ref.max_index():
            return EMPTY
        return ref_eval(ref, ids, node[1], target)
    if op == "slice":
        n = number(ref_eval(ref, ids, node[1], i))
        high, low = node[2], node[3]
        if n is None:
            return EMPTY
        if high < low:
            return ("bits", 0)
        count = high - low + 1
        n >>= low % 64
        return ("bits", n & ((1 << count) - 1) if count < 64 else n)
    if op in UNARY:
        v = ref_eval(ref, ids, node[1], i)
        if op == "not_":
            return as_bool(not truth(v))
        if op == "signed":
            n = number(v)
            return EMPTY if n is None else ("bits", n)
        if op == "is_x":
            return as_bool(v is EMPTY or (v[0] == "logic" and 2 in v[1]))
        return as_bool(v[0] == "logic" and 3 in v[1])
    a = ref_eval(ref, ids, node[1], i)
    b = ref_eval(ref, ids, node[2], i)
    if op == "and_":
        return as_bool(truth(a) and truth(b))
    if op == "or_":
        return as_bool(truth(a) or truth(b))
    if op in ("eq_", "neq"):
        na, nb = number(a), number(b)
        eq = same(a, b) or (na is not None and nb is not None and na == nb)
        return as_bool(eq if op == "eq_" else not eq)
    na, nb = number(a), number(b)
    if na is None or nb is None:
        return EMPTY
    results = {
        "gt_": lambda: as_bool(na > nb), "lt_": lambda: as_bool(na < nb),
        "gte": lambda: as_bool(na >= nb), "lte": lambda: as_bool(na <= nb),
        "add": lambda: ("bits", (na + nb) & MASK), "sub": lambda: ("bits", (na - nb) & MASK),
        "bit_and": lambda: ("bits", na & nb), "bit_or": lambda: ("bits", na | nb),
        "bit_xor": lambda: ("bits", na ^ nb),
    }
    return results[op]()


def to_python(v):
    if v[0] in ("bits", "real", "str"):
        return v[1]
    return None


def same_python(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return type(a) is type(b) and a == b


# --- random trees -------------------------------------------------------------------

def random_tree(rng: random.Random, ids: list, depth: int):
    if depth == 0 or rng.random() < 0.25:
        pick = rng.random()
        if pick < 0.55:
            return ("signal", rng.choice(ids + [9999]))
        if pick < 0.75:
            return ("const", ("bits", rng.choice([0, 1, 2, 5, 255, MASK, rng.getrandbits(64)])))
        if pick < 0.85:
            return ("const", ("real", rng.choice([0.0, 5.7, -1.0, float("nan"), 1e30])))
        if pick < 0.95:
            return ("const", ("str", rng.choice(["", "5", "+05", "abc", "18446744073709551616"])))
        return ("always_true",)
    pick = rng.random()
    if pick < 0.15:
        return ("rel_eval", random_tree(rng, ids, depth - 1), rng.choice([-3, -1, 0, 1, 2, 10**6]))
    if pick < 0.25:
        return ("slice", random_tree(rng, ids, depth - 1), rng.choice([0, 3, 7, 63, 70, 2**32 - 1]),
                rng.choice([0, 1, 4, 66, 64]))
    if pick < 0.45:
        return (rng.choice(UNARY), random_tree(rng, ids, depth - 1))
    return (rng.choice(BINARY), random_tree(rng, ids, depth - 1), random_tree(rng, ids, depth - 1))


def build(node) -> PyExpr:
    op = node[0]
    if op == "signal":
        return PyExpr.signal(node[1])
    if op == "const":
        kind, value = node[1]
        return {"bits": PyExpr.const_int, "real": PyExpr.const_float, "str": PyExpr.const_str}[kind](value)
    if op == "always_true":
        return PyExpr.always_true()
    if op == "rel_eval":
        return build(node[1]).rel_eval(node[2])
    if op == "slice":
        return build(node[1]).slice(node[2], node[3])
    if op in UNARY:
        return getattr(build(node[1]), op)()
    return getattr(build(node[1]), op)(build(node[2]))


@pytest.fixture(scope="module")
def rich(rich_vcd):
    data = rich_vcd.read_bytes()
    return PyTrace.from_vcd(str(rich_vcd)), ReferenceVcd(data)


def test_random_trees_agree_with_reference(rich):
    trace, ref = rich
    ids = sorted(set(ref.codes.values()))
    names = ref.names[:6] + ["unknown.name"]
    rng = random.Random(99)
    for _ in range(120):
        tree = random_tree(rng, ids, 4)
        expr = build(tree)
        expected = [i for i in range(ref.max_index() + 1) if truth(ref_eval(ref, {}, tree, i))]
        assert trace.find(expr) == expected, tree
        assert trace.parallel_find(expr) == expected
        assert trace.parallel_count(expr) == len(expected)
        for i in range(0, ref.max_index() + 2, 3):
            want = ref_eval(ref, {}, tree, i) if i <= ref.max_index() else None
            got = trace.eval_expr(expr, i)
            if want is not None:
                assert same_python(got, to_python(want)), (tree, i)
                assert trace.eval_expr_bool(expr, i) is truth(want)
        rows = trace.find_with_values(expr, names)
        assert [r[0] for r in rows] == expected
        for index, values in rows[:5]:
            assert values[-1] is None and len(values) == len(names)
            for name, value in zip(names[:-1], values):
                assert same_python(value, ref.value(name, index))


class TestBuilders:
    def test_constants(self):
        trace = PyTrace.from_vcd_string("")
        assert trace.eval_expr(PyExpr.const_int(2**64 - 1), 0) == 2**64 - 1
        assert trace.eval_expr(PyExpr.const_float(3), 0) == 3.0
        assert isinstance(trace.eval_expr(PyExpr.const_float(3), 0), float)
        assert trace.eval_expr(PyExpr.const_str("hi"), 0) == "hi"
        for bad in (2**64, -1):
            with pytest.raises(OverflowError):
                PyExpr.const_int(bad)
        with pytest.raises(TypeError):
            PyExpr.const_int(1.0)
        with pytest.raises(TypeError):
            PyExpr.const_str(b"x")
        with pytest.raises(TypeError):
            PyExpr.const_float("1.0")
        with pytest.raises(OverflowError):
            PyExpr.signal(2**32)
        with pytest.raises(OverflowError):
            PyExpr.signal(-1)
        with pytest.raises(OverflowError):
            PyExpr.always_true().slice(2**32, 0)
        with pytest.raises(OverflowError):
            PyExpr.always_true().rel_eval(2**63)
        assert PyExpr.signal(id=3) is not None and PyExpr.const_int(val=1) is not None

    def test_operands_are_copied_and_ordered(self):
        trace = PyTrace.from_vcd_string("")
        a, b = PyExpr.const_int(7), PyExpr.const_int(3)
        assert trace.eval_expr(a.sub(b), 0) == 4
        assert trace.eval_expr(b.sub(a), 0) == 2**64 - 4
        assert trace.eval_expr_bool(a.gt_(b), 0) and not trace.eval_expr_bool(b.gt_(a), 0)
        c = a.and_(b)
        assert trace.eval_expr(a, 0) == 7 and trace.eval_expr(c, 0) == 1
        assert trace.eval_expr(a.and_(a), 0) == 1
        assert trace.eval_expr(PyExpr.always_true().not_(), 0) == 0
        assert trace.eval_expr(a.add(other=b), 0) == 10

    def test_argument_errors(self):
        a = PyExpr.const_int(1)
        with pytest.raises(TypeError, match="^argument 'other': "):
            a.add(1)
        with pytest.raises(TypeError):
            a + a  # noqa: B018 - no operator overloads
        with pytest.raises(TypeError):
            ~a  # noqa: B018
        with pytest.raises(TypeError):
            a.not_(a)
        assert (a == a) and not (a == PyExpr.const_int(1))

    def test_eval_on_empty_trace(self):
        trace = PyTrace.from_vcd_string("")
        assert trace.find(PyExpr.always_true()) == [0]
        assert trace.parallel_count(PyExpr.always_true()) == 1
        assert trace.find(PyExpr.signal(0).is_x()) == [0]
        with pytest.raises(TypeError, match="^argument 'expr': "):
            trace.find("x")


def test_parallel_queries_from_many_threads(rich):
    trace, _ = rich
    exprs = [build(random_tree(random.Random(s), [0, 1, 2, 3, 4], 3)) for s in range(8)]
    expected = [(trace.find(e), trace.changed_at(5)) for e in exprs]
    errors = []

    def worker(k):
        try:
            for _ in range(30):
                assert trace.parallel_find(exprs[k]) == expected[k][0]
                assert trace.parallel_count(exprs[k]) == len(expected[k][0])
                assert trace.changed_at(5) == expected[k][1]
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
