// The positioned input that every FST read goes through: either a file read
// through a small buffer with explicit seeks, or an in-memory byte buffer (the
// unwrapped contents of a gzip-wrapped file, or hand-built bytes in tests).
//
// Errors are sticky: the first failed read records its Error, with the file
// offset where it happened, and every later read returns zeros, so a run of
// reads is checked once with ok().
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "formats/fst/reader_error.h"

namespace velk::fst {

class FstInput {
 public:
  static constexpr std::size_t kBufferSize = 8192;

  // Takes ownership of `fd`, a readable file of `size` bytes.
  static FstInput from_file(int fd, std::uint64_t size);
  static FstInput from_bytes(std::vector<std::uint8_t> bytes);

  FstInput(FstInput&& other) noexcept;
  FstInput& operator=(FstInput&& other) noexcept;
  FstInput(const FstInput&) = delete;
  FstInput& operator=(const FstInput&) = delete;
  ~FstInput();

  std::uint64_t size() const { return size_; }
  std::uint64_t position() const { return window_start_ + window_pos_; }
  std::uint64_t remaining() const { return size_ - position(); }
  bool at_end() const { return position() >= size_; }

  bool ok() const { return !error_.has_value(); }
  const Error& error() const { return *error_; }
  Status status() const { return error_ ? Status(*error_) : Status(); }
  // Records `error` unless an earlier one is already recorded; an error
  // without an offset gets the current position.
  void fail(Error error);

  // A position past the end fails with Io.
  void seek(std::uint64_t pos);
  void skip(std::uint64_t count) { seek_relative(count); }

  std::uint8_t read_u8();
  std::int8_t read_i8() { return static_cast<std::int8_t>(read_u8()); }
  // Big-endian.
  std::uint64_t read_u64();
  std::uint32_t read_varint_u32(std::uint32_t* taken = nullptr);
  std::uint64_t read_varint_u64(std::uint32_t* taken = nullptr);
  std::int64_t read_signed_varint_i64();
  // The next byte without consuming it; nothing at the end of input.
  std::optional<std::uint8_t> peek_u8();

  // Fills `dst` completely or fails with Io (leaving the input failed).
  bool read_into(std::span<std::uint8_t> dst);
  // Copies up to `count` bytes, fewer at the end of input; never fails.
  std::size_t read_some(std::uint8_t* dst, std::size_t count);
  // Exactly `count` bytes. The count is checked against the bytes left before
  // anything is allocated, so a hostile length cannot force a huge buffer.
  std::vector<std::uint8_t> read_bytes(std::uint64_t count);
  // `count` bytes; the text is what precedes the first NUL (the first
  // count - 1 bytes when there is none) and must be valid UTF-8.
  std::string read_fixed_string(std::size_t count);

  // The byte source of the varint decoder.
  bool next(std::uint8_t& byte);

 private:
  FstInput() = default;
  void seek_relative(std::uint64_t count);
  bool refill();

  int fd_ = -1;
  std::vector<std::uint8_t> window_;   // buffered bytes (all bytes in memory mode)
  std::uint64_t window_start_ = 0;    // file offset of window_[0]
  std::size_t window_pos_ = 0;        // read position inside the window
  std::size_t window_len_ = 0;        // valid bytes in the window
  std::uint64_t size_ = 0;
  std::optional<Error> error_;
};

}  // namespace velk::fst
