// LEB128 decoding shared by the file input and the in-memory byte reader.
#pragma once

#include <cstdint>

#include "formats/fst/reader_error.h"

namespace velk::fst {

// Unsigned LEB128 of at most ceil(Bits / 7) bytes. Value bits beyond the width
// are dropped; a last allowed byte that still has its continuation bit set
// fails with Leb128(Bits). `next(byte)` returns false at the end of input,
// which fails with Io. `taken` receives the count of bytes read.
template <unsigned Bits, class Source>
std::uint64_t decode_unsigned_varint(Source& src, std::uint32_t* taken = nullptr) {
  constexpr unsigned kMaxBytes = (Bits + 6) / 7;
  std::uint64_t value = 0;
  for (unsigned i = 0; i < kMaxBytes; ++i) {
    std::uint8_t byte = 0;
    if (!src.next(byte)) return 0;
    if (7 * i < 64) value |= static_cast<std::uint64_t>(byte & 0x7f) << (7 * i);
    if ((byte & 0x80) == 0) {
      if (taken) *taken = i + 1;
      if constexpr (Bits < 64) value &= (std::uint64_t{1} << Bits) - 1;
      return value;
    }
  }
  src.fail(ReaderError::leb128(Bits));
  return 0;
}

// Signed LEB128 of at most 10 bytes; the sign comes from bit 6 of the last byte.
template <class Source>
std::int64_t decode_signed_varint64(Source& src) {
  std::uint64_t value = 0;
  for (unsigned i = 0; i < 10; ++i) {
    std::uint8_t byte = 0;
    if (!src.next(byte)) return 0;
    const unsigned shift = 7 * i;
    value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) {
      if (shift + 7 < 64 && (byte & 0x40)) value |= ~std::uint64_t{0} << (shift + 7);
      return static_cast<std::int64_t>(value);
    }
  }
  src.fail(ReaderError::leb128(64));
  return 0;
}

}  // namespace velk::fst
