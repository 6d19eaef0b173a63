// Whole-name glob matching on bytes.
#pragma once

#include <string_view>

namespace velk {

// '*' matches any run of bytes (the empty run and '.' included), '?' exactly
// one byte; every other byte matches only itself. No classes, escapes or case
// folding.
bool glob_match(std::string_view pattern, std::string_view name);

}  // namespace velk
