#include "model/bitpack.h"

#include <cstdint>
#include <vector>

namespace velk {
namespace {

bool has_unknown(std::string_view s) {
  for (char c : s) {
    if (c == 'x' || c == 'X' || c == 'z' || c == 'Z') return true;
  }
  return false;
}

std::uint8_t level_of(char32_t c) {
  if (c == '0') return kLogic0;
  if (c == '1') return kLogic1;
  if (c == 'z' || c == 'Z') return kLogicZ;
  return kLogicX;
}

// Length of the UTF-8 sequence that starts with `lead` (1 for stray bytes, so
// that invalid input still advances).
std::size_t utf8_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

SignalValue logic_of(std::string_view s) {
  // One element per character, not per byte; multi-byte characters are X.
  thread_local std::vector<std::uint8_t> levels;
  levels.clear();
  for (std::size_t i = 0; i < s.size();) {
    const auto lead = static_cast<unsigned char>(s[i]);
    const std::size_t n = utf8_length(lead);
    levels.push_back(n == 1 ? level_of(static_cast<char32_t>(lead)) : kLogicX);
    i += n;
  }
  return SignalValue::logic(levels);
}

}  // namespace

SignalValue parse_binary_str(std::string_view text) {
  if (!text.empty() && (text.front() == 'b' || text.front() == 'B')) text.remove_prefix(1);
  if (text.empty()) return SignalValue::empty();
  if (has_unknown(text)) return logic_of(text);
  std::uint64_t acc = 0;
  for (char c : text) acc = (acc << 1) | (c == '1' ? 1u : 0u);
  return SignalValue::bits(acc);
}

}  // namespace velk
