// Argument handling shared by every method of the module: one parser for
// fastcall-with-keywords calls and the typed conversions, all producing the
// "argument 'name': ..." errors.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velk::py {

// Binds positional and keyword arguments to `names`, in order. Every name is
// required. Fills out[i] with a borrowed reference; returns false with a
// TypeError set on a missing, surplus, duplicate or unknown argument.
bool bind_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::initializer_list<const char*> names, PyObject** out);

// Conversions; each returns nothing with the exception set on failure.
std::optional<std::string_view> to_text(PyObject* obj, const char* name);
std::optional<std::size_t> to_index(PyObject* obj, const char* name);
std::optional<std::uint64_t> to_u64(PyObject* obj, const char* name);
std::optional<std::uint32_t> to_u32(PyObject* obj, const char* name);
std::optional<std::int64_t> to_i64(PyObject* obj, const char* name);
std::optional<double> to_f64(PyObject* obj, const char* name);
// The (name, start, end) arguments of the methods that read a signal over an
// index range, converted from argv[0..2] with errors naming each argument.
struct NamedRange {
  std::string_view name;
  std::size_t start = 0;
  std::size_t end = 0;
};
std::optional<NamedRange> to_named_range(PyObject* const* argv);
// Any iterable of str except a str itself.
std::optional<std::vector<std::string>> to_text_list(PyObject* obj, const char* name);

}  // namespace velk::py
