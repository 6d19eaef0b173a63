// PyTrace's methods over the format table: recognising a dump by content and
// loading it by format name.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velk::py {

// PyTrace.detect_format(path) -> str | None
PyObject* trace_detect_format(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// PyTrace.from_format(path, format) -> PyTrace
PyObject* trace_from_format(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// PyTrace.formats() -> list[tuple[str, str]]
PyObject* trace_formats(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velk::py
