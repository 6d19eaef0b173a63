// Queries that combine a search with reading values: the rows behind
// find_with_values and the snapshots of all signals at one index.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "eval/expr.h"
#include "model/signal_value.h"
#include "model/trace.h"

namespace velk {

struct IndexValues {
  std::size_t index;
  std::vector<SignalValue> values;  // one per requested name, in the order given
};
// One row for every index 0 ..= max_index at which expr holds, ascending, with
// the value there of each requested signal: Empty for a name the trace does
// not know. Names are resolved once; runs on the calling thread.
std::vector<IndexValues> find_with_values(const Trace& trace, const Expr& expr, std::span<const std::string> names);

struct NamedValue {
  std::string_view name;  // the signal's name without the prefix; borrowed from the trace
  SignalValue value;
};
// The value at `index` of every signal whose name begins with `prefix`
// (names without an id are skipped), in the order of signal_names.
std::vector<NamedValue> snapshot(const Trace& trace, std::size_t index, std::string_view prefix);

}  // namespace velk
