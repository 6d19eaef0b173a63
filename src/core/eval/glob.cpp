#include "eval/glob.h"

#include <cstddef>

namespace velk {

// The two-pointer walk with one remembered star: on a mismatch the last star
// absorbs one more byte and matching resumes after it. Remembering only the
// last star suffices because a later star can absorb anything an earlier one
// could. The literal test comes first, so a '*' in the pattern facing a '*'
// in the name first matches it as one byte.
bool glob_match(std::string_view pattern, std::string_view name) {
  constexpr std::size_t kNone = std::string_view::npos;
  std::size_t p = 0;
  std::size_t t = 0;
  std::size_t star_p = kNone;
  std::size_t star_t = 0;
  while (t < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[t])) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star_p = p;
      star_t = t;
      ++p;
    } else if (star_p != kNone) {
      p = star_p + 1;
      t = ++star_t;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace velk
