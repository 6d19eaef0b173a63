#include "py_formats.h"

#include <string>

#include "arguments.h"
#include "conversions.h"
#include "formats/format_table.h"
#include "py_trace.h"

namespace velk::py {
namespace {

std::string known_format_names() {
  std::string names;
  for (const DumpFormat& format : dump_formats()) {
    if (!names.empty()) names += ", ";
    names += format.name;
  }
  return names;
}

}  // namespace

PyObject* trace_detect_format(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments("detect_format", args, nargs, kwnames, {"path"}, argv)) return nullptr;
  const auto path = to_text(argv[0], "path");
  if (!path) return nullptr;
  return guarded([&]() -> PyObject* {
    const auto probe = probe_path(std::string(*path));
    if (!probe) return raise_reader_error(probe.error());
    const DumpFormat* format = detect_dump_format(probe.value());
    if (!format) Py_RETURN_NONE;
    return text_to_str(format->name);
  });
}

PyObject* trace_from_format(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  if (!bind_arguments("from_format", args, nargs, kwnames, {"path", "format"}, argv)) return nullptr;
  const auto path = to_text(argv[0], "path");
  if (!path) return nullptr;
  const auto name = to_text(argv[1], "format");
  if (!name) return nullptr;
  return guarded([&]() -> PyObject* {
    const DumpFormat* format = find_dump_format(*name);
    if (!format) {
      return raise_reader_error(
          Error::format("Unknown format '" + std::string(*name) + "' (known: " + known_format_names() + ")"));
    }
    auto trace = format->load(std::string(*path));
    if (!trace) return raise_reader_error(trace.error());
    return wrap_trace(std::move(trace).value());
  });
}

PyObject* trace_formats(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_arguments("formats", args, nargs, kwnames, {}, nullptr)) return nullptr;
  return guarded([&]() -> PyObject* {
    const auto formats = dump_formats();
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(formats.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < formats.size(); ++i) {
      PyObject* name = text_to_str(formats[i].name);
      PyObject* description = name ? text_to_str(formats[i].description) : nullptr;
      PyObject* entry = description ? PyTuple_Pack(2, name, description) : nullptr;
      Py_XDECREF(name);
      Py_XDECREF(description);
      if (!entry) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), entry);
    }
    return list;
  });
}

}  // namespace velk::py
