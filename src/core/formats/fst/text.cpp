#include "formats/fst/text.h"

#include <cstdint>

namespace velk::fst {
namespace {

// Length of the valid UTF-8 sequence starting at `i`, or 0 when it is invalid.
std::size_t valid_sequence_length(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<std::uint8_t>(s[i]);
  if (b0 < 0x80) return 1;
  std::size_t len = 0;
  std::uint32_t min = 0;
  std::uint32_t cp = 0;
  if ((b0 & 0xe0) == 0xc0) {
    len = 2, min = 0x80, cp = b0 & 0x1f;
  } else if ((b0 & 0xf0) == 0xe0) {
    len = 3, min = 0x800, cp = b0 & 0x0f;
  } else if ((b0 & 0xf8) == 0xf0) {
    len = 4, min = 0x10000, cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (s.size() - i < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<std::uint8_t>(s[i + k]);
    if ((b & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3f);
  }
  if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
  return len;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t len = valid_sequence_length(bytes, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string decode_utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t len = valid_sequence_length(bytes, i);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    out.append(bytes.substr(i, len));
    i += len;
  }
  return out;
}

}  // namespace velk::fst
