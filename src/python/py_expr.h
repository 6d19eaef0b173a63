// The PyExpr class: an immutable expression tree built from Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "eval/expr.h"

namespace velk::py {

// Creates the PyExpr type once per process; later calls return it again.
// Returns a new reference, or nullptr with an exception set.
PyObject* expr_type();

// The tree of a PyExpr argument, or nullptr with a TypeError naming `name`.
const Expr* expr_argument(PyObject* obj, const char* name);

}  // namespace velk::py
