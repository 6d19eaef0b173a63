#include "py_trace.h"

#include <memory>
#include <new>
#include <utility>

#include "arguments.h"
#include "conversions.h"
#include "eval/expr.h"
#include "eval/find.h"
#include "eval/query.h"
#include "eval/scope.h"
#include "eval/stats.h"
#include "py_expr.h"
#include "py_export.h"
#include "py_formats.h"
#include "formats/fsdb/fsdb_trace.h"
#include "formats/fst/fst_trace.h"
#include "formats/shm/shm_trace.h"
#include "formats/vcd/vcd_trace.h"
#include "io/error.h"
#include "formats/vpd/vpd_trace.h"
#include "formats/wlf/wlf_trace.h"
#include "type_setup.h"

namespace velk::py {
namespace {

struct TraceObject {
  PyObject_HEAD
  // Shared so that a running query keeps the trace alive on its own.
  std::shared_ptr<const Trace> trace;
};

PyTypeObject* g_trace_type = nullptr;  // created once per process, never freed

const Trace& trace_of(PyObject* self) { return *reinterpret_cast<TraceObject*>(self)->trace; }

PyObject* wrap(std::shared_ptr<const Trace> trace) {
  auto* self = PyObject_New(TraceObject, g_trace_type);
  if (!self) return nullptr;
  new (&self->trace) std::shared_ptr<const Trace>(std::move(trace));
  return reinterpret_cast<PyObject*>(self);
}

void trace_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  reinterpret_cast<TraceObject*>(obj)->trace.~shared_ptr();
  PyObject_Free(obj);
  Py_DECREF(type);
}

// A new list built by converting every element with `convert`.
template <class Range, class F>
PyObject* list_of(const Range& items, F&& convert) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(std::size(items)));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& item : items) {
    PyObject* obj = convert(item);
    if (!obj) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, i++, obj);
  }
  return list;
}

// --- loaders ---------------------------------------------------------------

template <class Loaded>
PyObject* finish_load(Expected<Loaded> result) {
  if (!result) return raise_reader_error(result.error());
  return wrap(std::make_shared<const Loaded>(std::move(result).value()));
}

template <class Reader, const char* name>
PyObject* load_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments(name, args, nargs, kwnames, {"path"}, argv)) return nullptr;
  const auto path = to_text(argv[0], "path");
  if (!path) return nullptr;
  return guarded([&] { return finish_load(Reader::from_file(std::string(*path))); });
}

PyObject* trace_from_vcd_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments("from_vcd_string", args, nargs, kwnames, {"data"}, argv)) return nullptr;
  const auto data = to_text(argv[0], "data");
  if (!data) return nullptr;
  return guarded([&] { return wrap(std::make_shared<const LoadedTrace>(VcdTrace::parse(*data))); });
}

PyObject* trace_from_vcd_gz(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments("from_vcd_gz", args, nargs, kwnames, {"path"}, argv)) return nullptr;
  const auto path = to_text(argv[0], "path");
  if (!path) return nullptr;
  return guarded([&] { return finish_load(VcdTrace::from_gzip_file(std::string(*path))); });
}

constexpr char kFromVcd[] = "from_vcd", kFromFst[] = "from_fst", kFromFsdb[] = "from_fsdb";
constexpr char kFromShm[] = "from_shm", kFromVpd[] = "from_vpd", kFromWlf[] = "from_wlf";

// --- accessors -------------------------------------------------------------

PyObject* trace_signal_names(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_arguments("signal_names", args, nargs, kwnames, {}, nullptr)) return nullptr;
  return guarded([&] { return texts_to_list(trace_of(self).signal_names()); });
}

PyObject* trace_scopes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_arguments("scopes", args, nargs, kwnames, {}, nullptr)) return nullptr;
  return guarded([&] { return texts_to_list(trace_of(self).scopes()); });
}

PyObject* trace_max_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_arguments("max_index", args, nargs, kwnames, {}, nullptr)) return nullptr;
  return PyLong_FromSize_t(trace_of(self).max_index());
}

PyObject* trace_timestamp(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments("timestamp", args, nargs, kwnames, {"index"}, argv)) return nullptr;
  const auto index = to_index(argv[0], "index");
  if (!index) return nullptr;
  return PyLong_FromUnsignedLongLong(trace_of(self).timestamp(*index));
}

PyObject* trace_signal_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  if (!bind_arguments("signal_value", args, nargs, kwnames, {"name", "index"}, argv)) return nullptr;
  const auto name = to_text(argv[0], "name");
  if (!name) return nullptr;
  const auto index = to_index(argv[1], "index");
  if (!index) return nullptr;
  return guarded([&] { return value_to_python(trace_of(self).signal_value(*name, *index)); });
}

PyObject* trace_signal_width(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments("signal_width", args, nargs, kwnames, {"name"}, argv)) return nullptr;
  const auto name = to_text(argv[0], "name");
  if (!name) return nullptr;
  return PyLong_FromUnsignedLong(trace_of(self).signal_width(*name));
}

PyObject* trace_signal_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments("signal_id", args, nargs, kwnames, {"name"}, argv)) return nullptr;
  const auto name = to_text(argv[0], "name");
  if (!name) return nullptr;
  const auto id = trace_of(self).signal_id(*name);
  if (!id) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(*id);
}

PyObject* trace_signal_values_range(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  PyObject* argv[3];
  if (!bind_arguments("signal_values_range", args, nargs, kwnames, {"name", "start", "end"}, argv)) {
    return nullptr;
  }
  const auto range = to_named_range(argv);
  if (!range) return nullptr;
  return guarded([&] {
    return list_of(trace_of(self).signal_values_range(range->name, range->start, range->end), value_to_python);
  });
}

PyObject* trace_signal_value_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  if (!bind_arguments("signal_value_raw", args, nargs, kwnames, {"name", "index"}, argv)) return nullptr;
  const auto name = to_text(argv[0], "name");
  if (!name) return nullptr;
  const auto index = to_index(argv[1], "index");
  if (!index) return nullptr;
  return guarded([&] {
    return PyLong_FromUnsignedLongLong(trace_of(self).signal_value(*name, *index).to_u64().value_or(0));
  });
}

std::int64_t sign_extend(std::uint64_t val, std::size_t width) {
  if (width >= 1 && width <= 63 && ((val >> (width - 1)) & 1)) val |= ~std::uint64_t{0} << width;
  return static_cast<std::int64_t>(val);
}

PyObject* trace_bit_slice_val(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[3];
  if (!bind_arguments("bit_slice_val", args, nargs, kwnames, {"val", "high", "low"}, argv)) return nullptr;
  const auto val = to_u64(argv[0], "val");
  if (!val) return nullptr;
  const auto high = to_index(argv[1], "high");
  if (!high) return nullptr;
  const auto low = to_index(argv[2], "low");
  if (!low) return nullptr;
  return PyLong_FromUnsignedLongLong(bit_slice(*val, *high, *low));
}

PyObject* trace_sign_extend_val(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  if (!bind_arguments("sign_extend_val", args, nargs, kwnames, {"val", "width"}, argv)) return nullptr;
  const auto val = to_u64(argv[0], "val");
  if (!val) return nullptr;
  const auto width = to_index(argv[1], "width");
  if (!width) return nullptr;
  return PyLong_FromLongLong(sign_extend(*val, *width));
}

// dict[key] = value, consuming the new reference `value`.
bool set_item(PyObject* dict, std::string_view key, PyObject* value) {
  if (!value) return false;
  PyObject* k = text_to_str(key);
  const int rc = k ? PyDict_SetItem(dict, k, value) : -1;
  Py_XDECREF(k);
  Py_DECREF(value);
  return rc == 0;
}

// Values at `index` of every signal whose name starts with `prefix`, keyed by
// the name without the prefix.
PyObject* snapshot_with_prefix(const Trace& trace, std::size_t index, std::string_view prefix) {
  PyObject* dict = PyDict_New();
  if (!dict) return nullptr;
  for (const NamedValue& item : snapshot(trace, index, prefix)) {
    if (!set_item(dict, item.name, value_to_python(item.value))) {
      Py_DECREF(dict);
      return nullptr;
    }
  }
  return dict;
}

PyObject* trace_snapshot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments("snapshot", args, nargs, kwnames, {"index"}, argv)) return nullptr;
  const auto index = to_index(argv[0], "index");
  if (!index) return nullptr;
  return guarded([&] { return snapshot_with_prefix(trace_of(self), *index, {}); });
}

PyObject* trace_snapshot_scope(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  if (!bind_arguments("snapshot_scope", args, nargs, kwnames, {"index", "scope"}, argv)) return nullptr;
  const auto index = to_index(argv[0], "index");
  if (!index) return nullptr;
  const auto scope = to_text(argv[1], "scope");
  if (!scope) return nullptr;
  return guarded([&] { return snapshot_with_prefix(trace_of(self), *index, std::string(*scope) + "."); });
}

// --- search and analysis -----------------------------------------------------

PyObject* optional_text(const std::optional<std::string>& text) {
  if (!text) Py_RETURN_NONE;
  return text_to_str(*text);
}

PyObject* trace_resolve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  if (!bind_arguments("resolve", args, nargs, kwnames, {"scope_name", "short_name"}, argv)) return nullptr;
  const auto scope = to_text(argv[0], "scope_name");
  if (!scope) return nullptr;
  const auto short_name = to_text(argv[1], "short_name");
  if (!short_name) return nullptr;
  return guarded([&] { return optional_text(resolve(trace_of(self), *scope, *short_name)); });
}

// Methods taking one text argument and returning a list of names.
using NameQuery = std::vector<std::string> (*)(const Trace&, std::string_view);

template <NameQuery query, const char* name, const char* argument>
PyObject* name_query_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments(name, args, nargs, kwnames, {argument}, argv)) return nullptr;
  const auto text = to_text(argv[0], argument);
  if (!text) return nullptr;
  return guarded([&] {
    const std::vector<std::string> names = query(trace_of(self), *text);
    return texts_to_list(names);
  });
}

constexpr char kLocalSignals[] = "local_signals", kLocalScopes[] = "local_scopes";
constexpr char kContaining[] = "find_signals_containing", kGlob[] = "find_signals_glob";
constexpr char kScopeName[] = "scope_name", kSubstring[] = "substring", kPattern[] = "pattern";

PyObject* trace_signal_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments("signal_stats", args, nargs, kwnames, {"name"}, argv)) return nullptr;
  const auto name = to_text(argv[0], "name");
  if (!name) return nullptr;
  return guarded([&] {
    const SignalStats s = compute_stats(trace_of(self), *name);
    return Py_BuildValue("(KKKnnnn)", static_cast<unsigned long long>(s.min),
                         static_cast<unsigned long long>(s.max), static_cast<unsigned long long>(s.sum),
                         static_cast<Py_ssize_t>(s.count), static_cast<Py_ssize_t>(s.transitions),
                         static_cast<Py_ssize_t>(s.num_x), static_cast<Py_ssize_t>(s.num_z));
  });
}

using IndexSearch = std::vector<std::size_t> (*)(const Trace&, const Expr&);

template <IndexSearch search, const char* name>
PyObject* index_search_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments(name, args, nargs, kwnames, {"expr"}, argv)) return nullptr;
  const Expr* expr = expr_argument(argv[0], "expr");
  if (!expr) return nullptr;
  return guarded([&] {
    const std::shared_ptr<const Trace> trace = reinterpret_cast<TraceObject*>(self)->trace;
    return list_of(search(*trace, *expr), [](std::size_t i) { return PyLong_FromSize_t(i); });
  });
}

constexpr char kFind[] = "find", kParallelFind[] = "parallel_find";

PyObject* trace_parallel_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments("parallel_count", args, nargs, kwnames, {"expr"}, argv)) return nullptr;
  const Expr* expr = expr_argument(argv[0], "expr");
  if (!expr) return nullptr;
  return guarded([&] {
    const std::shared_ptr<const Trace> trace = reinterpret_cast<TraceObject*>(self)->trace;
    return PyLong_FromUnsignedLongLong(parallel_count(*trace, *expr));
  });
}

PyObject* trace_eval_expr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  if (!bind_arguments("eval_expr", args, nargs, kwnames, {"expr", "index"}, argv)) return nullptr;
  const Expr* expr = expr_argument(argv[0], "expr");
  if (!expr) return nullptr;
  const auto index = to_index(argv[1], "index");
  if (!index) return nullptr;
  return guarded([&] { return value_to_python(eval(trace_of(self), *expr, *index)); });
}

PyObject* trace_eval_expr_bool(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  if (!bind_arguments("eval_expr_bool", args, nargs, kwnames, {"expr", "index"}, argv)) return nullptr;
  const Expr* expr = expr_argument(argv[0], "expr");
  if (!expr) return nullptr;
  const auto index = to_index(argv[1], "index");
  if (!index) return nullptr;
  return guarded([&] { return PyBool_FromLong(eval_bool(trace_of(self), *expr, *index)); });
}

// (first, old, new) with both values converted.
template <class First>
PyObject* change_tuple(First first, const SignalValue& old_value, const SignalValue& new_value) {
  PyObject* a = first;
  PyObject* b = a ? value_to_python(old_value) : nullptr;
  PyObject* c = b ? value_to_python(new_value) : nullptr;
  if (!c) {
    Py_XDECREF(a);
    Py_XDECREF(b);
    return nullptr;
  }
  PyObject* tuple = PyTuple_Pack(3, a, b, c);
  Py_DECREF(a);
  Py_DECREF(b);
  Py_DECREF(c);
  return tuple;
}

PyObject* changes_to_list(const std::vector<Change>& changes) {
  return list_of(changes, [](const Change& c) {
    return change_tuple(text_to_str(c.name), c.old_value, c.new_value);
  });
}

PyObject* trace_changed_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments("changed_at", args, nargs, kwnames, {"index"}, argv)) return nullptr;
  const auto index = to_index(argv[0], "index");
  if (!index) return nullptr;
  return guarded([&] {
    const std::shared_ptr<const Trace> trace = reinterpret_cast<TraceObject*>(self)->trace;
    return changes_to_list(changed_at(*trace, *index));
  });
}

PyObject* trace_changed_at_scope(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  if (!bind_arguments("changed_at_scope", args, nargs, kwnames, {"index", "scope"}, argv)) return nullptr;
  const auto index = to_index(argv[0], "index");
  if (!index) return nullptr;
  const auto scope = to_text(argv[1], "scope");
  if (!scope) return nullptr;
  return guarded([&] {
    const std::shared_ptr<const Trace> trace = reinterpret_cast<TraceObject*>(self)->trace;
    return changes_to_list(changed_at_scope(*trace, *index, *scope));
  });
}

PyObject* trace_transitions(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments("transitions", args, nargs, kwnames, {"name"}, argv)) return nullptr;
  const auto name = to_text(argv[0], "name");
  if (!name) return nullptr;
  return guarded([&] {
    return list_of(transitions(trace_of(self), *name), [](const Transition& t) {
      return change_tuple(PyLong_FromSize_t(t.index), t.old_value, t.new_value);
    });
  });
}

// (index, [value of each requested signal]) for every index where expr holds.
PyObject* find_with_values_to_list(const std::vector<IndexValues>& rows) {
  return list_of(rows, [](const IndexValues& row) -> PyObject* {
    PyObject* values = list_of(row.values, value_to_python);
    PyObject* index = values ? PyLong_FromSize_t(row.index) : nullptr;
    PyObject* entry = index ? PyTuple_Pack(2, index, values) : nullptr;
    Py_XDECREF(index);
    Py_XDECREF(values);
    return entry;
  });
}

PyObject* trace_find_with_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  if (!bind_arguments("find_with_values", args, nargs, kwnames, {"expr", "signal_names"}, argv)) {
    return nullptr;
  }
  const Expr* expr = expr_argument(argv[0], "expr");
  if (!expr) return nullptr;
  const auto names = to_text_list(argv[1], "signal_names");
  if (!names) return nullptr;
  return guarded([&] { return find_with_values_to_list(find_with_values(trace_of(self), *expr, *names)); });
}

// --- type --------------------------------------------------------------------

PyMethodDef trace_methods[] = {
    {"from_vcd", fastcall<load_file<VcdTrace, kFromVcd>>(), kStatic, "from_vcd(path)\n--\n\n"},
    {"from_vcd_string", fastcall<trace_from_vcd_string>(), kStatic, "from_vcd_string(data)\n--\n\n"},
    {"from_vcd_gz", fastcall<trace_from_vcd_gz>(), kStatic,
     "from_vcd_gz(path)\n--\n\nLoad a gzip-compressed VCD file (.vcd.gz), decompressing it while it is read.\n"
     "Gives the same trace as from_vcd on the decompressed file; a file that is not gzip,\n"
     "is corrupt or is cut short raises ValueError, as does a line longer than 64 MiB."},
    {"from_fst", fastcall<load_file<FstTrace, kFromFst>>(), kStatic, "from_fst(path)\n--\n\n"},
    {"from_fsdb", fastcall<load_file<FsdbTrace, kFromFsdb>>(), kStatic, "from_fsdb(path)\n--\n\n"},
    {"from_shm", fastcall<load_file<ShmTrace, kFromShm>>(), kStatic, "from_shm(path)\n--\n\n"},
    {"from_vpd", fastcall<load_file<VpdTrace, kFromVpd>>(), kStatic, "from_vpd(path)\n--\n\n"},
    {"from_wlf", fastcall<load_file<WlfTrace, kFromWlf>>(), kStatic, "from_wlf(path)\n--\n\n"},
    {"detect_format", fastcall<trace_detect_format>(), kStatic,
     "detect_format(path)\n--\n\nThe format of the dump at path, recognised by its content, or None."},
    {"from_format", fastcall<trace_from_format>(), kStatic,
     "from_format(path, format)\n--\n\nLoads the dump at path with the reader of the named format."},
    {"formats", fastcall<trace_formats>(), kStatic,
     "formats()\n--\n\nThe formats velk reads: a list of (name, description) tuples."},
    {"signal_names", fastcall<trace_signal_names>(), kMethod, "signal_names($self)\n--\n\n"},
    {"scopes", fastcall<trace_scopes>(), kMethod, "scopes($self)\n--\n\n"},
    {"max_index", fastcall<trace_max_index>(), kMethod, "max_index($self)\n--\n\n"},
    {"timestamp", fastcall<trace_timestamp>(), kMethod, "timestamp($self, index)\n--\n\n"},
    {"signal_value", fastcall<trace_signal_value>(), kMethod, "signal_value($self, name, index)\n--\n\n"},
    {"signal_width", fastcall<trace_signal_width>(), kMethod, "signal_width($self, name)\n--\n\n"},
    {"signal_id", fastcall<trace_signal_id>(), kMethod, "signal_id($self, name)\n--\n\n"},
    {"signal_values_range", fastcall<trace_signal_values_range>(), kMethod,
     "signal_values_range($self, name, start, end)\n--\n\n"},
    {"signal_value_raw", fastcall<trace_signal_value_raw>(), kMethod,
     "signal_value_raw($self, name, index)\n--\n\n"},
    {"bit_slice_val", fastcall<trace_bit_slice_val>(), kMethod, "bit_slice_val($self, val, high, low)\n--\n\n"},
    {"sign_extend_val", fastcall<trace_sign_extend_val>(), kMethod, "sign_extend_val($self, val, width)\n--\n\n"},
    {"snapshot", fastcall<trace_snapshot>(), kMethod,
     "snapshot($self, index)\n--\n\nSnapshot: get all signal values at a specific index as a dict.\n"
     "Uses signal_value_by_id for O(1) access per signal."},
    {"snapshot_scope", fastcall<trace_snapshot_scope>(), kMethod,
     "snapshot_scope($self, index, scope)\n--\n\nSnapshot within a scope.\n"
     "Uses signal_value_by_id for O(1) access per signal."},
    {"resolve", fastcall<trace_resolve>(), kMethod, "resolve($self, scope_name, short_name)\n--\n\n"},
    {"local_signals", fastcall<name_query_method<local_signals, kLocalSignals, kScopeName>>(), kMethod,
     "local_signals($self, scope_name)\n--\n\n"},
    {"local_scopes", fastcall<name_query_method<local_scopes, kLocalScopes, kScopeName>>(), kMethod,
     "local_scopes($self, scope_name)\n--\n\n"},
    {"find_signals_containing", fastcall<name_query_method<find_signals_containing, kContaining, kSubstring>>(),
     kMethod,
     "find_signals_containing($self, substring)\n--\n\nFind signals containing a substring (case-insensitive)."},
    {"find_signals_glob", fastcall<name_query_method<find_signals_glob, kGlob, kPattern>>(), kMethod,
     "find_signals_glob($self, pattern)\n--\n\nFind signals matching a glob pattern."},
    {"signal_stats", fastcall<trace_signal_stats>(), kMethod,
     "signal_stats($self, name)\n--\n\n"
     "Compute stats for a signal: (min, max, sum, count, transitions, num_x, num_z)"},
    {"find", fastcall<index_search_method<find, kFind>>(), kMethod, "find($self, expr)\n--\n\n"},
    {"parallel_find", fastcall<index_search_method<parallel_find, kParallelFind>>(), kMethod,
     "parallel_find($self, expr)\n--\n\n"
     "Find matching indices using rayon parallel iteration across all CPU cores."},
    {"parallel_count", fastcall<trace_parallel_count>(), kMethod,
     "parallel_count($self, expr)\n--\n\nCount matching indices using rayon parallel iteration."},
    {"eval_expr", fastcall<trace_eval_expr>(), kMethod, "eval_expr($self, expr, index)\n--\n\n"},
    {"eval_expr_bool", fastcall<trace_eval_expr_bool>(), kMethod, "eval_expr_bool($self, expr, index)\n--\n\n"},
    {"changed_at", fastcall<trace_changed_at>(), kMethod,
     "changed_at($self, index)\n--\n\nGet all signals that changed value at a specific index.\n"
     "Returns list of (name, old_value, new_value) tuples."},
    {"changed_at_scope", fastcall<trace_changed_at_scope>(), kMethod,
     "changed_at_scope($self, index, scope)\n--\n\nGet signals that changed at index within a scope."},
    {"transitions", fastcall<trace_transitions>(), kMethod,
     "transitions($self, name)\n--\n\nGet all transitions for a signal: [(index, old, new), ...]"},
    {"find_with_values", fastcall<trace_find_with_values>(), kMethod,
     "find_with_values($self, expr, signal_names)\n--\n\n"
     "Find with value extraction in one pass: returns list of (index, [values]) tuples.\n"
     "Resolves signal IDs once upfront, uses signal_value_by_id in the hot loop."},
    {"timestamps_buffer", fastcall<trace_timestamps_buffer>(), kMethod,
     "timestamps_buffer($self)\n--\n\nEvery timestamp as native uint64 in a bytearray, one per index."},
    {"changes_buffers", fastcall<trace_changes_buffers>(), kMethod,
     "changes_buffers($self, name, start, end)\n--\n\n"
     "The signal over [start, end) in run-length form: (kind, indices, values, unknown), or None for an\n"
     "unknown name. indices: native uint64 bytes; values: uint64 or float64 bytes, or a list for text;\n"
     "unknown: one byte per entry, 1 where the value is X/Z or missing."},
    {"values_buffers", fastcall<trace_values_buffers>(), kMethod,
     "values_buffers($self, name, start, end)\n--\n\n"
     "The signal at every index of [start, end): (kind, values, unknown), or None for an unknown name.\n"
     "values: uint64 or float64 bytes, one per index; unknown: one byte per index, 1 where the value is\n"
     "X/Z or missing. For a signal holding text the kind is 'str' and both buffers are empty."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot trace_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(trace_dealloc)},
    {Py_tp_methods, trace_methods},
    {0, nullptr},
};

PyType_Spec trace_spec = {
    "velk._core.PyTrace", sizeof(TraceObject), 0, static_cast<unsigned int>(kClassFlags), trace_slots,
};

}  // namespace

PyObject* trace_type() { return process_type(g_trace_type, &trace_spec); }

PyObject* wrap_trace(std::shared_ptr<const Trace> trace) { return wrap(std::move(trace)); }

const std::shared_ptr<const Trace>& trace_handle(PyObject* self) {
  return reinterpret_cast<TraceObject*>(self)->trace;
}

}  // namespace velk::py
