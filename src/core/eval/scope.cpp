#include "eval/scope.h"

namespace velk {
namespace {

// The name seen as `short_name` from anywhere: equal to it, or its last
// dotted components are ".short_name".
bool names_short(std::string_view name, std::string_view short_name) {
  if (name == short_name) return true;
  return name.size() > short_name.size() && name.ends_with(short_name) &&
         name[name.size() - short_name.size() - 1] == '.';
}

}  // namespace

std::vector<std::string> local_scopes(const Trace& trace, std::string_view scope_name) {
  return trace.scope_tree().children_of(scope_name);
}

std::vector<std::string> local_signals(const Trace& trace, std::string_view scope_name) {
  std::string prefix(scope_name);
  if (!prefix.empty()) prefix += '.';
  std::vector<std::string> out;
  for (const std::string_view name : trace.signal_names()) {
    if (name.starts_with(prefix) && name.find('.', prefix.size()) == std::string_view::npos) out.emplace_back(name);
  }
  return out;
}

std::optional<std::string> resolve(const Trace& trace, std::string_view scope_name, std::string_view short_name) {
  std::string candidate;
  if (!scope_name.empty()) {
    candidate.append(scope_name);
    candidate += '.';
  }
  candidate.append(short_name);
  if (trace.signal_id(candidate)) return candidate;
  // Fallback: the first name in trace order, at any depth below any path that
  // begins with the scope's text; not necessarily the nearest one.
  for (const std::string_view name : trace.signal_names()) {
    if (names_short(name, short_name) && name.starts_with(scope_name)) return std::string(name);
  }
  return std::nullopt;
}

}  // namespace velk
