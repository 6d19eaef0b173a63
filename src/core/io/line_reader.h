// Cuts a byte stream into blocks of whole lines, so that each block can be
// parsed on its own (and on another thread). Only the unfinished line at the
// end of a read is carried over to the next block; a line longer than the
// block size makes its block grow to hold it.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "io/byte_source.h"

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

class LineBlockReader {
 public:
  LineBlockReader(ByteSource& source, std::size_t block_bytes) : source_(source), block_bytes_(block_bytes) {}

  // Fills `block` with the next lines: at least `block_bytes` bytes ending
  // just after a line feed, or whatever remains at the end of the input (the
  // last line need not end with a line feed). False when nothing is left.
  bool next(LineBlock& block);

 private:
  std::size_t first_reserve() const;

  ByteSource& source_;
  std::size_t block_bytes_;
  LineBlock carry_;  // bytes after the last line feed of the previous block
  bool ended_ = false;
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
