// The NUL-terminated printable-string scan that the closed-format readers use
// to find identifiers inside binary data.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "io/byte_view.h"

namespace velk {

// Calls `on_string(text)` for every run that starts at a byte in 0x21..0x7E,
// extends over bytes in 0x20..0x7E and is ended by a 0x00 byte, in order of
// appearance. A run ended by any other byte is skipped and the scan resumes
// after that byte; a run that reaches the end of `data` ends the scan (an
// unterminated tail is never a string).
template <class F>
void for_each_nul_string(Bytes data, F&& on_string) {
  std::size_t p = 0;
  const std::size_t n = data.size();
  while (p < n) {
    if (data[p] < 0x21 || data[p] > 0x7E) {
      ++p;
      continue;
    }
    std::size_t q = p;
    while (q < n && data[q] >= 0x20 && data[q] <= 0x7E) ++q;
    if (q == n) return;
    if (data[q] == 0x00) on_string(as_text(data.subspan(p, q - p)));
    p = q + 1;
  }
}

// The NUL-terminated strings of `data` that pass `keep`, in order, repeats kept.
template <class Keep>
std::vector<std::string> collect_nul_strings(Bytes data, Keep&& keep) {
  std::vector<std::string> out;
  for_each_nul_string(data, [&](std::string_view s) {
    if (keep(s)) out.emplace_back(s);
  });
  return out;
}

// Letters, digits and the identifier test helpers shared by the scanners.
constexpr bool is_ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_ident_start(char c) { return is_ascii_alpha(c) || c == '_'; }

// Every '.'-separated part (a leading or trailing empty part included) is
// non-empty and begins with an ASCII letter or '_'.
constexpr bool dotted_parts_ok(std::string_view s) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = s.find('.', start);
    const std::string_view part = s.substr(start, dot == std::string_view::npos ? s.npos : dot - start);
    if (part.empty() || !is_ident_start(part.front())) return false;
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

}  // namespace velk
