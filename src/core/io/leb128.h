// LEB128 decoding, the one implementation behind every reader's varints.
// Generic over the byte source so that a buffered file input, a cursor over
// memory and a plain offset scan share it.
#pragma once

#include <cstdint>

namespace velk {

struct Leb128 {
  enum class End : std::uint8_t {
    Done,     // a byte without the continuation bit ended the number
    Eof,      // the source ran out first; `value` holds the bits read so far
    TooLong,  // `max_bytes` bytes all had the continuation bit
  };
  std::uint64_t value = 0;
  unsigned bytes = 0;  // bytes consumed
  End end = End::Done;
};

// Unsigned LEB128 of at most `max_bytes` bytes, read through `next(byte)`,
// which returns false at the end of input. Value bits past the 64th are
// dropped.
template <class Next>
Leb128 decode_uleb128(Next&& next, unsigned max_bytes) {
  Leb128 out;
  while (out.bytes < max_bytes) {
    std::uint8_t byte = 0;
    if (!next(byte)) {
      out.end = Leb128::End::Eof;
      return out;
    }
    const unsigned shift = 7 * out.bytes++;
    if (shift < 64) out.value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) return out;
  }
  out.end = Leb128::End::TooLong;
  return out;
}

// Signed LEB128 of at most 10 bytes; the sign comes from bit 6 of the last byte.
template <class Next>
Leb128 decode_sleb128(Next&& next) {
  Leb128 out = decode_uleb128(next, 10);
  if (out.end != Leb128::End::Done) return out;
  const unsigned used = 7 * out.bytes;
  if (used < 64 && (out.value >> (used - 1)) & 1) out.value |= ~std::uint64_t{0} << used;
  return out;
}

}  // namespace velk
