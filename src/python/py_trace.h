// The PyTrace class: a loaded, immutable trace and every query on it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "model/trace.h"

namespace velk::py {

// Creates the PyTrace type once per process; later calls return it again.
// Returns a new reference, or nullptr with an exception set.
PyObject* trace_type();

// A new PyTrace holding `trace`. Returns nullptr with an exception set on failure.
PyObject* wrap_trace(std::shared_ptr<const Trace> trace);

// The trace behind `self`, which must be a PyTrace.
const std::shared_ptr<const Trace>& trace_handle(PyObject* self);

}  // namespace velk::py
