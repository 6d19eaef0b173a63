// Cursor over decoded bytes already in memory (a decompressed hierarchy, time
// table, frame or offset table). Bounds are checked on every read; errors are
// sticky like FstInput's, so a run of reads is checked once with ok().
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "formats/fst/reader_error.h"
#include "formats/fst/varint.h"

namespace velk::fst {

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return bytes_.size() - pos_; }
  bool at_end() const { return pos_ >= bytes_.size(); }
  bool ok() const { return !error_.has_value(); }
  const ReaderError& error() const { return *error_; }
  Status status() const { return error_ ? Status(*error_) : Status(); }
  void fail(ReaderError e) {
    if (!error_) error_ = std::move(e);
  }

  bool next(std::uint8_t& byte) {
    if (!ok()) return false;
    if (pos_ >= bytes_.size()) {
      fail(ReaderError::io());
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
    return static_cast<std::uint32_t>(decode_unsigned_varint<32>(*this, taken));
  }
  std::uint64_t read_varint_u64() { return decode_unsigned_varint<64>(*this); }
  std::int64_t read_signed_varint_i64() { return decode_signed_varint64(*this); }
  // `count` bytes as a view, or an Io failure when fewer remain.
  std::span<const std::uint8_t> read_span(std::size_t count) {
    if (!ok()) return {};
    if (count > remaining()) {
      fail(ReaderError::io());
      return {};
    }
    const auto out = bytes_.subspan(pos_, count);
    pos_ += count;
    return out;
  }
  // Bytes up to (excluding) the next NUL, which is consumed. More than `max`
  // bytes without a NUL fails with CStringTooLong, the end of input with Io,
  // invalid UTF-8 with Utf8String.
  std::string_view read_c_str(std::size_t max);

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
  std::optional<ReaderError> error_;
};

}  // namespace velk::fst
