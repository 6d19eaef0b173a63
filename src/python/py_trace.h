// The PyTrace class: a loaded, immutable trace and every query on it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velk::py {

// Creates the PyTrace type once per process; later calls return it again.
// Returns a new reference, or nullptr with an exception set.
PyObject* trace_type();

}  // namespace velk::py
