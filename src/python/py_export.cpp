#include "py_export.h"

#include <algorithm>
#include <span>
#include <vector>

#include "arguments.h"
#include "conversions.h"
#include "eval/columns.h"
#include "py_trace.h"

namespace velk::py {
namespace {

// A bytearray holding a copy of `items`: writable, so NumPy arrays over it are too.
template <class T>
PyObject* buffer_of(const std::vector<T>& items) {
  return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(items.data()),
                                       static_cast<Py_ssize_t>(items.size() * sizeof(T)));
}

// A bytearray of `count` items of T, uninitialised, and a span over its
// storage for the core to fill in place (no second copy of a large column).
// PyByteArray storage comes from the object allocator, aligned for any T.
template <class T>
PyObject* new_buffer(std::size_t count, std::span<T>& items) {
  if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) return PyErr_NoMemory();
  PyObject* buffer = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(T)));
  if (buffer) items = std::span<T>(reinterpret_cast<T*>(PyByteArray_AS_STRING(buffer)), count);
  return buffer;
}

const char* kind_name(ChangeColumns::Kind kind) {
  switch (kind) {
    case ChangeColumns::Kind::Unsigned: return "uint64";
    case ChangeColumns::Kind::Real: return "float64";
    case ChangeColumns::Kind::Text: return "str";
  }
  return "uint64";
}

// The values column: a buffer of numbers, or for text a list with one
// converted value per entry (one object per change, not per index).
PyObject* values_of(const ChangeColumns& columns) {
  switch (columns.kind) {
    case ChangeColumns::Kind::Unsigned: return buffer_of(columns.unsigned_values);
    case ChangeColumns::Kind::Real: return buffer_of(columns.real_values);
    case ChangeColumns::Kind::Text: break;
  }
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(columns.text_values.size()));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < columns.text_values.size(); ++i) {
    PyObject* value = value_to_python(columns.text_values[i]);
    if (!value) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), value);
  }
  return list;
}

}  // namespace

PyObject* trace_timestamps_buffer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_arguments("timestamps_buffer", args, nargs, kwnames, {}, nullptr)) return nullptr;
  return guarded([&] { return buffer_of(all_timestamps(*trace_handle(self))); });
}

namespace {

// The frame the (name, start, end) exports share: binds the arguments, finds
// the signal (None for an unknown name) and runs body(trace, id, start, end)
// with C++ exceptions turned into Python ones.
template <class Body>
PyObject* with_signal_range(const char* method, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, Body body) {
  PyObject* argv[3];
  if (!bind_arguments(method, args, nargs, kwnames, {"name", "start", "end"}, argv)) return nullptr;
  const auto range = to_named_range(argv);
  if (!range) return nullptr;
  return guarded([&]() -> PyObject* {
    const Trace& trace = *trace_handle(self);
    const auto id = trace.signal_id(range->name);
    if (!id) Py_RETURN_NONE;
    return body(trace, *id, range->start, range->end);
  });
}

}  // namespace

PyObject* trace_changes_buffers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_signal_range("changes_buffers", self, args, nargs, kwnames,
                           [](const Trace& trace, std::uint32_t id, std::size_t start, std::size_t end) {
    const ChangeColumns columns = signal_changes(trace, id, start, end);
    PyObject* indices = buffer_of(columns.indices);
    PyObject* values = indices ? values_of(columns) : nullptr;
    PyObject* unknown = values ? buffer_of(columns.unknown) : nullptr;
    PyObject* result = unknown ? Py_BuildValue("(sOOO)", kind_name(columns.kind), indices, values, unknown) : nullptr;
    Py_XDECREF(indices);
    Py_XDECREF(values);
    Py_XDECREF(unknown);
    return result;
  });
}

PyObject* trace_values_buffers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_signal_range("values_buffers", self, args, nargs, kwnames,
                           [](const Trace& trace, std::uint32_t id, std::size_t start, std::size_t end) -> PyObject* {
    end = std::min(end, trace.max_index() + 1);
    const std::size_t count = end > start ? end - start : 0;
    std::span<std::uint64_t> words;
    std::span<std::uint8_t> unknown;
    PyObject* values = new_buffer(count, words);
    PyObject* flags = values ? new_buffer(count, unknown) : nullptr;
    if (!flags) {
      Py_XDECREF(values);
      return nullptr;
    }
    auto kind = ChangeColumns::Kind::Unsigned;
    if (count > 0) kind = fill_dense_column(trace, id, start, end, words, unknown);
    if (kind == ChangeColumns::Kind::Text) {  // text stays in run-length form: hand back no columns
      PyByteArray_Resize(values, 0);
      PyByteArray_Resize(flags, 0);
    }
    return Py_BuildValue("(sNN)", kind_name(kind), values, flags);
  });
}

}  // namespace velk::py
