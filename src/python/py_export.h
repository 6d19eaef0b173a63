// PyTrace's exports for array libraries: flat buffers of machine numbers
// that NumPy reads without copying (velk.timestamps, velk.changes,
// velk.to_numpy are built on them).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velk::py {

// PyTrace.timestamps_buffer() -> bytearray of native uint64, one per index.
PyObject* trace_timestamps_buffer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// PyTrace.changes_buffers(name, start, end) -> (kind, indices, values, unknown) or None.
PyObject* trace_changes_buffers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// PyTrace.values_buffers(name, start, end) -> (kind, values, unknown) or None.
PyObject* trace_values_buffers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velk::py
