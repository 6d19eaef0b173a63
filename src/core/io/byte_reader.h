// Cursor over bytes already in memory (a decompressed block, a table, a
// frame). Every read is bounds-checked; errors are sticky, so a run of reads
// is checked once with ok(), and a failed read returns zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "io/error.h"
#include "io/leb128.h"

namespace velk {

// The error of a read past the end of the input: "I/O operation failed",
// with `detail` ("unexpected end of file") for the note.
Error short_read_error(std::string detail = "unexpected end of file");
// The error of a LEB128 number longer than a `bits`-wide value can take.
Error varint_error(unsigned bits);

// Decodes an unsigned LEB128 number of at most `Bits` bits from any source
// with `bool next(std::uint8_t&)` and `void fail(Error)`: a short source
// fails with short_read_error, a number longer than ceil(Bits / 7) bytes with
// varint_error(Bits). `taken` receives the count of bytes read.
template <unsigned Bits, class Source>
std::uint64_t read_uleb128_from(Source& src, std::uint32_t* taken = nullptr) {
  // A short source has already recorded its own failure.
  const Leb128 leb = decode_uleb128([&](std::uint8_t& b) { return src.next(b); }, (Bits + 6) / 7);
  if (leb.end == Leb128::End::TooLong) src.fail(varint_error(Bits));
  if (leb.end != Leb128::End::Done) return 0;
  if (taken) *taken = leb.bytes;
  if constexpr (Bits < 64) return leb.value & ((std::uint64_t{1} << Bits) - 1);
  return leb.value;
}

// Signed LEB128 of at most 10 bytes from the same kind of source.
template <class Source>
std::int64_t read_sleb128_from(Source& src) {
  const Leb128 leb = decode_sleb128([&](std::uint8_t& b) { return src.next(b); });
  if (leb.end == Leb128::End::TooLong) src.fail(varint_error(64));
  if (leb.end != Leb128::End::Done) return 0;
  return static_cast<std::int64_t>(leb.value);
}

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return bytes_.size() - pos_; }
  bool at_end() const { return pos_ >= bytes_.size(); }
  bool ok() const { return !error_.has_value(); }
  const Error& error() const { return *error_; }
  Status status() const { return error_ ? Status(*error_) : Status(); }
  // Records `e` unless an earlier error is already recorded.
  void fail(Error e) {
    if (!error_) error_ = std::move(e);
  }

  bool next(std::uint8_t& byte) {
    if (!ok()) return false;
    if (pos_ >= bytes_.size()) {
      fail(short_read_error());
      return false;
    }
    byte = bytes_[pos_++];
    return true;
  }
  std::uint8_t read_u8() {
    std::uint8_t b = 0;
    next(b);
    return b;
  }
  std::optional<std::uint8_t> peek_u8() const {
    if (!ok() || pos_ >= bytes_.size()) return std::nullopt;
    return bytes_[pos_];
  }
  std::uint32_t read_varint_u32(std::uint32_t* taken = nullptr) {
    return static_cast<std::uint32_t>(read_uleb128_from<32>(*this, taken));
  }
  std::uint64_t read_varint_u64() { return read_uleb128_from<64>(*this); }
  std::int64_t read_signed_varint_i64() { return read_sleb128_from(*this); }
  // `count` bytes as a view, or a short-read failure when fewer remain.
  std::span<const std::uint8_t> read_span(std::size_t count);
  // Bytes up to (excluding) the next NUL, which is consumed. A string that
  // reaches `max` bytes without a NUL fails with "failed to read a null
  // terminated string because it exceeds the expected size of {max} bytes.",
  // the end of input as a short read, invalid UTF-8 with "failed to decode string".
  std::string_view read_c_str(std::size_t max);

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
  std::optional<Error> error_;
};

}  // namespace velk
