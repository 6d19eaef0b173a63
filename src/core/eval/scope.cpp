#include "eval/scope.h"

namespace velk {

std::vector<std::string> local_scopes(const Trace&, std::string_view) { return {}; }
std::vector<std::string> local_signals(const Trace&, std::string_view) { return {}; }
std::optional<std::string> resolve(const Trace&, std::string_view, std::string_view) { return std::nullopt; }

}  // namespace velk
