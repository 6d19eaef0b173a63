#include "conversions.h"

namespace velk::py {

PyObject* value_to_python(const SignalValue& value) {
  using Tag = SignalValue::Tag;
  switch (value.tag()) {
    case Tag::Bits: return PyLong_FromUnsignedLongLong(value.as_bits());
    case Tag::WideBits: {
      const auto words = value.words();
      return PyLong_FromUnsignedLongLong(words.empty() ? 0 : words[0]);
    }
    case Tag::Real: return PyFloat_FromDouble(value.as_real());
    case Tag::Str: {
      return text_to_str(value.text());
    }
    case Tag::Logic:
    case Tag::Empty: break;
  }
  Py_RETURN_NONE;
}

PyObject* text_to_str(std::string_view text) {
  // Readers store valid UTF-8; replace anything else rather than fail.
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

namespace {

// BaseException.add_note where it exists (3.11+); on 3.10 the same list that
// add_note keeps, which tracebacks of newer interpreters and tools print.
bool add_note(PyObject* exception, PyObject* note) {
#if PY_VERSION_HEX >= 0x030B0000
  PyObject* done = PyObject_CallMethod(exception, "add_note", "O", note);
  Py_XDECREF(done);
  return done != nullptr;
#else
  PyObject* notes = PyObject_GetAttrString(exception, "__notes__");
  if (!notes) {
    PyErr_Clear();
    notes = PyList_New(0);
    if (!notes || PyObject_SetAttrString(exception, "__notes__", notes) < 0) {
      Py_XDECREF(notes);
      return false;
    }
  }
  const int appended = PyList_Check(notes) ? PyList_Append(notes, note) : 0;
  Py_DECREF(notes);
  return appended == 0;
#endif
}

}  // namespace

PyObject* raise_reader_error(const Error& error) {
  PyObject* message = text_to_str(error.message());
  if (!message) return nullptr;
  PyObject* exception = PyObject_CallOneArg(PyExc_ValueError, message);
  Py_DECREF(message);
  if (!exception) return nullptr;
  const std::string note_text = error.note();
  if (!note_text.empty()) {
    PyObject* note = text_to_str(note_text);
    const bool added = note && add_note(exception, note);
    Py_XDECREF(note);
    if (!added) {
      Py_DECREF(exception);
      return nullptr;
    }
  }
  PyErr_SetObject(PyExc_ValueError, exception);
  Py_DECREF(exception);
  return nullptr;
}

}  // namespace velk::py
