// Unicode lower-casing of UTF-8 text with the semantics of Python's
// str.lower(): the full mapping (U+0130 becomes "i" plus a combining dot) and
// the final-sigma rule (U+03A3 at the end of a word becomes U+03C2).
#pragma once

#include <string>
#include <string_view>

namespace velk {

// Bytes that are not part of well-formed UTF-8 are copied unchanged and count
// as neither cased nor case-ignorable.
std::string to_lower_full(std::string_view utf8);

}  // namespace velk
