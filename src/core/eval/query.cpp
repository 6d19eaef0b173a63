#include "eval/query.h"

#include <optional>

#include "eval/find.h"

namespace velk {

std::vector<IndexValues> find_with_values(const Trace& trace, const Expr& expr, std::span<const std::string> names) {
  std::vector<std::optional<std::uint32_t>> ids;
  ids.reserve(names.size());
  for (const std::string& name : names) ids.push_back(trace.signal_id(name));
  std::vector<IndexValues> rows;
  for (const std::size_t index : find(trace, expr)) {
    IndexValues row{index, {}};
    row.values.reserve(ids.size());
    for (const auto& id : ids) row.values.push_back(id ? trace.value_at(*id, index) : SignalValue());
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<NamedValue> snapshot(const Trace& trace, std::size_t index, std::string_view prefix) {
  std::vector<NamedValue> out;
  for (const std::string_view name : trace.signal_names()) {
    if (!name.starts_with(prefix)) continue;
    const auto id = trace.signal_id(name);
    if (!id) continue;
    out.push_back(NamedValue{name.substr(prefix.size()), trace.value_at(*id, index)});
  }
  return out;
}

}  // namespace velk
