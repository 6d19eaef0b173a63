// Navigation of the scope tree by dotted names.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/trace.h"

namespace velk {

// Full paths one level below `scope_name` (top-level scopes for ""), each
// once, in order of first appearance in scopes().
std::vector<std::string> local_scopes(const Trace& trace, std::string_view scope_name);
// Full names of the signals directly inside `scope_name` (no further dot).
std::vector<std::string> local_signals(const Trace& trace, std::string_view scope_name);
// scope_name + "." + short_name when that signal exists; otherwise the first
// name that ends in "." + short_name (or equals it) and begins with scope_name.
std::optional<std::string> resolve(const Trace& trace, std::string_view scope_name,
                                   std::string_view short_name);

}  // namespace velk
