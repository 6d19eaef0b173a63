"""The Python surface of the module: types, signatures, argument errors."""

import inspect
import pathlib
import pydoc

import pytest

import velk
from velk import PyExpr, PyTrace, _core

TRACE_METHODS = {
    "from_vcd": "(path)", "from_vcd_gz": "(path)", "from_vcd_string": "(data)", "from_fst": "(path)", "from_fsdb": "(path)",
    "from_shm": "(path)", "from_vpd": "(path)", "from_wlf": "(path)",
    "detect_format": "(path)", "from_format": "(path, format)", "formats": "()",
    "timestamps_buffer": "($self)", "changes_buffers": "($self, name, start, end)", "values_buffers": "($self, name, start, end)",
    "signal_names": "($self)", "scopes": "($self)", "max_index": "($self)",
    "timestamp": "($self, index)", "signal_value": "($self, name, index)",
    "signal_width": "($self, name)", "signal_id": "($self, name)",
    "signal_values_range": "($self, name, start, end)", "signal_value_raw": "($self, name, index)",
    "bit_slice_val": "($self, val, high, low)", "sign_extend_val": "($self, val, width)",
    "snapshot": "($self, index)", "snapshot_scope": "($self, index, scope)",
    "resolve": "($self, scope_name, short_name)", "local_signals": "($self, scope_name)",
    "local_scopes": "($self, scope_name)", "find_signals_containing": "($self, substring)",
    "find_signals_glob": "($self, pattern)", "signal_stats": "($self, name)", "find": "($self, expr)",
    "parallel_find": "($self, expr)", "parallel_count": "($self, expr)",
    "eval_expr": "($self, expr, index)", "eval_expr_bool": "($self, expr, index)",
    "changed_at": "($self, index)", "changed_at_scope": "($self, index, scope)",
    "transitions": "($self, name)", "find_with_values": "($self, expr, signal_names)",
}

EXPR_METHODS = {
    "signal": "(id)", "const_int": "(val)", "const_float": "(val)", "const_str": "(val)",
    "always_true": "()", "rel_eval": "($self, offset)", "not_": "($self)",
    **{m: "($self, other)" for m in ("and_", "or_", "eq_", "neq", "gt_", "lt_", "gte", "lte", "add",
                                      "sub", "bit_and", "bit_or", "bit_xor")},
    "slice": "($self, high, low)", "signed": "($self)", "is_x": "($self)", "is_z": "($self)",
}


def public_names(cls):
    return {n for n in vars(cls) if not n.startswith("_")}


class TestModule:
    def test_exports(self):
        assert velk.PyTrace is _core.PyTrace and velk.PyExpr is _core.PyExpr
        assert {n for n in vars(_core) if not n.startswith("__")} == {"PyTrace", "PyExpr"}

    def test_classes_cannot_be_instantiated_or_subclassed(self):
        for cls in (PyTrace, PyExpr):
            with pytest.raises(TypeError):
                cls()
            with pytest.raises(TypeError):
                type("Sub", (cls,), {})
            with pytest.raises(TypeError):
                cls.extra = 1

    def test_method_sets_and_signatures(self):
        assert public_names(PyTrace) == set(TRACE_METHODS)
        assert public_names(PyExpr) == set(EXPR_METHODS)
        for cls, table in ((PyTrace, TRACE_METHODS), (PyExpr, EXPR_METHODS)):
            for name, sig in table.items():
                assert getattr(cls, name).__text_signature__ == sig, name

    def test_help_shows_argument_names(self):
        text = pydoc.render_doc(PyTrace, renderer=pydoc.plaintext)
        assert "timestamp(self, /, index)" in text
        assert "find_with_values(self, /, expr, signal_names)" in text
        assert str(inspect.signature(PyTrace.from_vcd)) == "(path)"
        assert "slice(self, /, high, low)" in pydoc.render_doc(PyExpr, renderer=pydoc.plaintext)
        for cls, table in ((PyTrace, TRACE_METHODS), (PyExpr, EXPR_METHODS)):
            for name in table:
                inspect.signature(getattr(cls, name))  # every method is introspectable

    def test_docstring_prose(self):
        assert PyTrace.snapshot.__doc__.endswith(
            "Snapshot: get all signal values at a specific index as a dict.\n"
            "Uses signal_value_by_id for O(1) access per signal.")
        assert PyTrace.signal_stats.__doc__.endswith(
            "Compute stats for a signal: (min, max, sum, count, transitions, num_x, num_z)")


class TestArguments:
    def test_loader_argument_types(self, tmp_path):
        with pytest.raises(TypeError, match="^argument 'path': "):
            PyTrace.from_vcd(b"x")
        with pytest.raises(TypeError, match="^argument 'path': "):
            PyTrace.from_vcd(pathlib.Path(tmp_path / "a.vcd"))
        with pytest.raises(TypeError, match="^argument 'data': "):
            PyTrace.from_vcd_string(b"")
        with pytest.raises(TypeError):
            PyTrace.from_vcd()
        with pytest.raises(TypeError):
            PyTrace.from_vcd("a", "b")
        with pytest.raises(TypeError):
            PyTrace.from_vcd(file="a")

    def test_loaders_are_static(self, example_vcd):
        trace = PyTrace.from_vcd(path=str(example_vcd))
        other = trace.from_vcd(str(example_vcd))
        assert other is not trace and other.signal_names() == trace.signal_names()

    def test_integer_arguments(self, example_vcd):
        trace = PyTrace.from_vcd(str(example_vcd))
        with pytest.raises(OverflowError):
            trace.timestamp(index=-1)
        with pytest.raises(OverflowError):
            trace.timestamp(2**64)
        with pytest.raises(TypeError, match="^argument 'index': "):
            trace.timestamp(1.0)
        with pytest.raises(TypeError, match="^argument 'index': "):
            trace.timestamp("1")
        assert trace.timestamp(index=1) == trace.timestamp(1)
        with pytest.raises(TypeError, match="^argument 'name': "):
            trace.signal_value(1, 0)
        with pytest.raises(TypeError):
            trace.signal_value("tb.clk", 0, index=0)
        with pytest.raises(OverflowError):
            trace.bit_slice_val(2**64, 1, 0)
        with pytest.raises(OverflowError):
            trace.sign_extend_val(-1, 4)

    def test_values_are_fresh_objects(self, example_vcd):
        trace = PyTrace.from_vcd(str(example_vcd))
        a = trace.signal_names()
        a.append("x")
        assert "x" not in trace.signal_names()


def test_paths_with_nul_bytes_are_refused(tmp_path, example_vcd):
    # The part before the NUL names a real file; it must not be opened instead.
    real = tmp_path / "a"
    real.write_bytes(example_vcd.read_bytes())
    path = str(real) + "\0.vcd"
    for loader, prefix in ((PyTrace.from_vcd, "Failed to open "), (PyTrace.from_fst, "Failed to open "),
                           (PyTrace.from_fsdb, "Failed to read "), (PyTrace.from_wlf, "Failed to read "),
                           (PyTrace.from_vpd, "Failed to read "), (PyTrace.from_shm, "DSN: ")):
        with pytest.raises(ValueError) as err:
            loader(path)
        assert str(err.value).startswith(prefix)
        assert str(err.value).endswith("file name contained an unexpected NUL byte")


class TestPackage:
    def test_version_matches_the_installed_metadata(self):
        from importlib import metadata

        assert velk.__version__ == metadata.version("velk")

    def test_public_names_resolve(self):
        optional = {"timestamps", "changes", "to_numpy", "plot"}
        for name in set(velk.__all__) - optional:
            assert getattr(velk, name) is not None, name
        with pytest.raises(AttributeError):
            velk.no_such_name
