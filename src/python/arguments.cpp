#include "arguments.h"

#include <cstring>

namespace velk::py {
namespace {

// Replaces the pending exception with one of the same type whose message is
// prefixed by "argument 'name': ".
void prefix_pending_error(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* text = value ? PyObject_Str(value) : nullptr;
  const char* reason = text ? PyUnicode_AsUTF8(text) : nullptr;
  if (!reason) {
    PyErr_Clear();
    reason = "invalid value";
  }
  PyErr_Format(type ? type : PyExc_TypeError, "argument '%s': %s", name, reason);
  Py_XDECREF(text);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
}

// The object as a Python int (borrowing __index__), or nothing with a TypeError.
PyObject* as_int(PyObject* obj, const char* name) {
  PyObject* number = PyNumber_Index(obj);
  if (!number) prefix_pending_error(name);
  return number;
}

std::optional<unsigned long long> to_unsigned(PyObject* obj, const char* name, unsigned long long max) {
  PyObject* number = as_int(obj, name);
  if (!number) return std::nullopt;
  const unsigned long long v = PyLong_AsUnsignedLongLong(number);
  Py_DECREF(number);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_pending_error(name);
    return std::nullopt;
  }
  if (v > max) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': out of range integral type conversion attempted", name);
    return std::nullopt;
  }
  return v;
}

}  // namespace

bool bind_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::initializer_list<const char*> names, PyObject** out) {
  const auto count = static_cast<Py_ssize_t>(names.size());
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", function, count,
                 count == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    const char* keyword = PyUnicode_AsUTF8(key);
    if (!keyword) return false;
    Py_ssize_t slot = -1;
    Py_ssize_t i = 0;
    for (const char* name : names) {
      if (std::strcmp(name, keyword) == 0) slot = i;
      ++i;
    }
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", function, keyword);
      return false;
    }
    if (out[slot]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, keyword);
      return false;
    }
    out[slot] = args[nargs + k];
  }
  Py_ssize_t i = 0;
  for (const char* name : names) {
    if (!out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", function, name, i + 1);
      return false;
    }
    ++i;
  }
  return true;
}

std::optional<std::string_view> to_text(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got %s", name, Py_TYPE(obj)->tp_name);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!data) {
    prefix_pending_error(name);
    return std::nullopt;
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::optional<std::size_t> to_index(PyObject* obj, const char* name) {
  const auto v = to_unsigned(obj, name, SIZE_MAX);
  if (!v) return std::nullopt;
  return static_cast<std::size_t>(*v);
}

std::optional<NamedRange> to_named_range(PyObject* const* argv) {
  const auto name = to_text(argv[0], "name");
  if (!name) return std::nullopt;
  const auto start = to_index(argv[1], "start");
  if (!start) return std::nullopt;
  const auto end = to_index(argv[2], "end");
  if (!end) return std::nullopt;
  return NamedRange{*name, *start, *end};
}

std::optional<std::uint64_t> to_u64(PyObject* obj, const char* name) {
  const auto v = to_unsigned(obj, name, UINT64_MAX);
  if (!v) return std::nullopt;
  return static_cast<std::uint64_t>(*v);
}

std::optional<std::uint32_t> to_u32(PyObject* obj, const char* name) {
  const auto v = to_unsigned(obj, name, UINT32_MAX);
  if (!v) return std::nullopt;
  return static_cast<std::uint32_t>(*v);
}

std::optional<std::int64_t> to_i64(PyObject* obj, const char* name) {
  PyObject* number = as_int(obj, name);
  if (!number) return std::nullopt;
  const long long v = PyLong_AsLongLong(number);
  Py_DECREF(number);
  if (v == -1 && PyErr_Occurred()) {
    prefix_pending_error(name);
    return std::nullopt;
  }
  return static_cast<std::int64_t>(v);
}

std::optional<double> to_f64(PyObject* obj, const char* name) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    prefix_pending_error(name);
    return std::nullopt;
  }
  return v;
}

namespace {
PyObject* next_item(PyObject* iterator) {
#if PY_VERSION_HEX >= 0x030E0000
  PyObject* item = nullptr;
  return PyIter_NextItem(iterator, &item) > 0 ? item : nullptr;
#else
  return PyIter_Next(iterator);
#endif
}
}  // namespace

std::optional<std::vector<std::string>> to_text_list(PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of str, got a single str", name);
    return std::nullopt;
  }
  PyObject* iterator = PyObject_GetIter(obj);
  if (!iterator) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of str, got %s", name,
                 Py_TYPE(obj)->tp_name);
    return std::nullopt;
  }
  std::vector<std::string> texts;
  while (PyObject* item = next_item(iterator)) {
    const auto text = to_text(item, name);
    Py_DECREF(item);
    if (!text) {
      Py_DECREF(iterator);
      return std::nullopt;
    }
    texts.emplace_back(*text);
  }
  Py_DECREF(iterator);
  if (PyErr_Occurred()) {
    prefix_pending_error(name);
    return std::nullopt;
  }
  return texts;
}

}  // namespace velk::py
