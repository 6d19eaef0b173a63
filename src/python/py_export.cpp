#include "py_export.h"

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

PyObject* trace_changes_buffers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[3];
  if (!bind_arguments("changes_buffers", args, nargs, kwnames, {"name", "start", "end"}, argv)) return nullptr;
  const auto name = to_text(argv[0], "name");
  if (!name) return nullptr;
  const auto start = to_index(argv[1], "start");
  if (!start) return nullptr;
  const auto end = to_index(argv[2], "end");
  if (!end) return nullptr;
  return guarded([&]() -> PyObject* {
    const Trace& trace = *trace_handle(self);
    const auto id = trace.signal_id(*name);
    if (!id) Py_RETURN_NONE;
    const ChangeColumns columns = signal_changes(trace, *id, *start, *end);
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

}  // namespace velk::py
