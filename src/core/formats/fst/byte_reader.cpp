#include "formats/fst/byte_reader.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "formats/fst/text.h"

namespace velk::fst {

std::string_view ByteReader::read_c_str(std::size_t max) {
  if (!ok()) return {};
  const auto* first = reinterpret_cast<const char*>(bytes_.data() + pos_);
  // A name may hold at most max - 1 bytes: reading max bytes without a NUL fails.
  const std::size_t window = std::min(remaining(), max);
  const auto* nul = static_cast<const char*>(std::memchr(first, 0, window));
  if (nul == nullptr) {
    if (remaining() < max) {
      fail(ReaderError::io());
      return {};
    }
    fail(ReaderError::c_string_too_long(max, decode_utf8_lossy(std::string_view(first, max))));
    return {};
  }
  const std::string_view text(first, static_cast<std::size_t>(nul - first));
  if (!is_valid_utf8(text)) {
    fail(ReaderError::utf8_string(std::string(text)));
    return {};
  }
  pos_ += text.size() + 1;
  return text;
}

}  // namespace velk::fst
