// The extension module velk._core: multi-phase initialisation whose execution
// step adds the two classes. The module keeps no other state.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_expr.h"
#include "py_trace.h"

namespace {

int add_type(PyObject* module, const char* name, PyObject* (*make_type)()) {
  PyObject* type = make_type();
  if (!type) return -1;
  const int rc = PyModule_AddObjectRef(module, name, type);
  Py_DECREF(type);
  return rc;
}

int core_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "expected a module, got %s", Py_TYPE(module)->tp_name);
    return -1;
  }
  if (add_type(module, "PyTrace", velk::py::trace_type) < 0) return -1;
  if (add_type(module, "PyExpr", velk::py::expr_type) < 0) return -1;
  return 0;
}

PyModuleDef_Slot core_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(core_exec)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#if PY_VERSION_HEX >= 0x030C0000
    // The two types are created once per process, so they must not be shared
    // with a second interpreter that has its own object space.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef core_module = {
    PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, core_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&core_module); }
