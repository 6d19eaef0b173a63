// The NUL-terminated printable-string scan that finds strings inside binary
// data (the closed-format readers look for names this way).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "io/byte_view.h"

namespace velk {

// Which bytes may start a string: any printable one, or any but the space.
enum class StringStart : std::uint8_t { Printable, NotSpace };

// Calls `on_string(text)` for every run that starts at a byte in 0x21..0x7E
// (0x20..0x7E with StringStart::Printable), extends over bytes in 0x20..0x7E
// and is ended by a 0x00 byte, in order of appearance. A run ended by any
// other byte is skipped and the scan resumes after that byte; a run that
// reaches the end of `data` ends the scan (an unterminated tail is never a
// string).
template <class F>
void for_each_nul_string(Bytes data, F&& on_string, StringStart start = StringStart::NotSpace) {
  const std::uint8_t first_min = start == StringStart::Printable ? 0x20 : 0x21;
  std::size_t p = 0;
  const std::size_t n = data.size();
  while (p < n) {
    if (data[p] < first_min || data[p] > 0x7E) {
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

}  // namespace velk
