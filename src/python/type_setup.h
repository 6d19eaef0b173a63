// Creation of the module's heap types and their method tables, shared by
// PyTrace and PyExpr.
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

// The type made from `spec`, created on the first call and kept in `slot` for
// the rest of the process. Returns a new reference, or nullptr with an
// exception set.
inline PyObject* process_type(PyTypeObject*& slot, PyType_Spec* spec) {
  if (!slot) {
    PyObject* type = create_frozen_type(spec);
    if (!type) return nullptr;
    slot = reinterpret_cast<PyTypeObject*>(type);  // this reference lives as long as the process
  }
  Py_INCREF(slot);
  return reinterpret_cast<PyObject*>(slot);
}

// Flags of both classes: immutable, not subclassable, no constructor.
inline constexpr unsigned long kClassFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// Method flags: every method takes fastcall arguments with keywords.
inline constexpr int kStatic = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
inline constexpr int kMethod = METH_FASTCALL | METH_KEYWORDS;

// A fastcall-with-keywords function as the PyCFunction a method table holds.
template <auto F>
constexpr PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace velk::py
