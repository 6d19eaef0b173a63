// Creation of the module's heap types, shared by PyTrace and PyExpr.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velk::py {

// Creates a heap type from `spec`, freezing it where the interpreter can.
// Returns a new reference, or nullptr with an exception set.
inline PyObject* create_frozen_type(PyType_Spec* spec) {
  PyObject* type = PyType_FromSpec(spec);
  if (!type) return nullptr;
#if PY_VERSION_HEX >= 0x030E0000
  if (PyType_Freeze(reinterpret_cast<PyTypeObject*>(type)) < 0) {
    Py_DECREF(type);
    return nullptr;
  }
#endif
  return type;
}

// Flags of both classes: immutable, not subclassable, no constructor.
inline constexpr unsigned long kClassFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

}  // namespace velk::py
