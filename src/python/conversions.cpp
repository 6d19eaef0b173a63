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
      const auto text = value.text();
      // Readers store valid UTF-8; replace anything else rather than fail.
      return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    }
    case Tag::Logic:
    case Tag::Empty: break;
  }
  Py_RETURN_NONE;
}

PyObject* texts_to_list(std::span<const std::string> texts) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(texts.size()));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject* s = PyUnicode_DecodeUTF8(texts[i].data(), static_cast<Py_ssize_t>(texts[i].size()), "replace");
    if (!s) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), s);
  }
  return list;
}

PyObject* raise_reader_error(const std::string& message) {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (!text) return nullptr;
  PyErr_SetObject(PyExc_ValueError, text);
  Py_DECREF(text);
  return nullptr;
}

}  // namespace velk::py
