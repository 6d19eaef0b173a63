#include "io/byte_reader.h"

#include <algorithm>
#include <cstring>

#include "io/text.h"

namespace velk {

Error short_read_error(std::string detail) { return Error::io("I/O operation failed").detail(std::move(detail)); }

Error varint_error(unsigned bits) {
  return Error::format("failed to read leb128 integer, more than the expected " + std::to_string(bits) + " bits");
}

std::span<const std::uint8_t> ByteReader::read_span(std::size_t count) {
  if (!ok()) return {};
  if (count > remaining()) {
    fail(short_read_error());
    return {};
  }
  const auto out = bytes_.subspan(pos_, count);
  pos_ += count;
  return out;
}

std::string_view ByteReader::read_c_str(std::size_t max) {
  if (!ok()) return {};
  const auto* first = reinterpret_cast<const char*>(bytes_.data() + pos_);
  // A name may hold at most max - 1 bytes: reading max bytes without a NUL fails.
  const std::size_t window = std::min(remaining(), max);
  const auto* nul = static_cast<const char*>(std::memchr(first, 0, window));
  if (nul == nullptr) {
    if (remaining() < max) {
      fail(short_read_error("unexpected end of file in a NUL-terminated string"));
      return {};
    }
    fail(Error::format("failed to read a null terminated string because it exceeds the expected size of " +
                       std::to_string(max) + " bytes.\n" + decode_utf8_lossy(std::string_view(first, max))));
    return {};
  }
  const std::string_view text(first, static_cast<std::size_t>(nul - first));
  if (!is_valid_utf8(text)) {
    fail(Error::format("failed to decode string").detail("invalid UTF-8 in a " + std::to_string(text.size()) +
                                                          "-byte string"));
    return {};
  }
  pos_ += text.size() + 1;
  return text;
}

}  // namespace velk
