// Cuts a byte stream into blocks of whole lines, so that each block can be
// parsed on its own (and on another thread). Only the unfinished line at the
// end of a read is carried over to the next block; a line longer than the
// block size makes its block grow to hold it, up to a limit.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "io/byte_source.h"
#include "io/error.h"

namespace velk {

// An owned buffer that is reused from block to block without zero-filling.
class LineBlock {
 public:
  std::string_view text() const noexcept { return {data_.get(), size_}; }
  std::size_t capacity() const noexcept { return capacity_; }

 private:
  friend class LineBlockReader;
  void reserve(std::size_t bytes, std::size_t keep);

  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The longest line a reader holds by default: far beyond any real line (a
// vector of 64 million bits), and it bounds what one line can take. Without
// a limit, input with no line feed (a stray binary file, a device, a small
// gzip stream that inflates to gigabytes of one line) is held whole.
inline constexpr std::size_t kMaxLineBytes = std::size_t{64} << 20;

class LineBlockReader {
 public:
  // Lines of up to max_line_bytes, or of two blocks if that is more.
  LineBlockReader(ByteSource& source, std::size_t block_bytes, std::size_t max_line_bytes = kMaxLineBytes)
      : source_(source), block_bytes_(block_bytes), max_line_bytes_(std::max(max_line_bytes, 2 * block_bytes)) {}

  // Fills `block` with the next lines: at least `block_bytes` bytes ending
  // just after a line feed, or whatever remains at the end of the input (the
  // last line need not end with a line feed). False when nothing is left,
  // or when a line turned out longer than the limit: failure() says so.
  bool next(LineBlock& block);
  // Set once a line longer than the limit has ended the input: a Limit
  // error at the byte where the first such line starts. The blocks before
  // it hold exactly the bytes before that line.
  const std::optional<Error>& failure() const noexcept { return failure_; }

 private:
  std::size_t first_reserve() const;

  ByteSource& source_;
  std::size_t block_bytes_;
  std::size_t max_line_bytes_;
  LineBlock carry_;  // bytes after the last line feed of the previous block
  std::uint64_t handed_out_ = 0;  // bytes of the blocks returned so far
  bool ended_ = false;
  std::optional<Error> failure_;
};

// Splits `text` (an in-memory input) the same way: pieces of at least
// `block_bytes` bytes that end just after a line feed, the last piece
// holding the rest.
template <class F>
void for_each_line_block(std::string_view text, std::size_t block_bytes, F&& on_block) {
  while (!text.empty()) {
    std::size_t cut = text.size();
    if (text.size() > block_bytes) {
      const std::size_t nl = text.find('\n', block_bytes - 1);
      if (nl != std::string_view::npos) cut = nl + 1;
    }
    on_block(text.substr(0, cut));
    text.remove_prefix(cut);
  }
}

}  // namespace velk
