// Searches over all indices of a trace, change queries, and name searches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "eval/expr.h"
#include "model/signal_value.h"
#include "model/trace.h"

namespace velk {

// Every index 0 ..= max_index at which eval_bool holds, ascending; computed on
// the calling thread. Index 0 is always a candidate, even without timestamps.
std::vector<std::size_t> find(const Trace& trace, const Expr& expr);
// The same list, computed on the worker pool.
std::vector<std::size_t> parallel_find(const Trace& trace, const Expr& expr);
// The size of that list, computed on the worker pool.
std::uint64_t parallel_count(const Trace& trace, const Expr& expr);

struct Transition {
  std::size_t index;
  SignalValue old_value;
  SignalValue new_value;
};
// Every index i >= 1 at which the signal's value differs (SignalValue
// equality) from its value at i - 1. Empty for an unknown name.
std::vector<Transition> transitions(const Trace& trace, std::string_view name);

struct Change {
  std::string name;
  SignalValue old_value;
  SignalValue new_value;
};
// The signals whose value at `index` differs from the one at index - 1, in the
// order of signal_names; empty at index 0. Runs on the worker pool.
std::vector<Change> changed_at(const Trace& trace, std::size_t index);
// As changed_at, restricted to names beginning with scope + "." (any depth).
std::vector<Change> changed_at_scope(const Trace& trace, std::size_t index, std::string_view scope);

// Names matched as a whole by a glob pattern: '*' any run of bytes (dots
// included), '?' exactly one byte, everything else literal.
std::vector<std::string> find_signals_glob(const Trace& trace, std::string_view pattern);
// Names that contain `substring` after both are lower-cased with the full
// Unicode mapping (as Python's str.lower()).
std::vector<std::string> find_signals_containing(const Trace& trace, std::string_view substring);

}  // namespace velk
