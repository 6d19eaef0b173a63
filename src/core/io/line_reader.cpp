#include "io/line_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "io/text.h"

namespace velk {

void LineBlock::reserve(std::size_t bytes, std::size_t keep) {
  if (bytes <= capacity_) return;
  const std::size_t grown = std::max(bytes, capacity_ + capacity_ / 2);
  std::unique_ptr<char[]> fresh(new char[grown]);
  if (keep > 0) std::memcpy(fresh.get(), data_.get(), keep);
  data_ = std::move(fresh);
  capacity_ = grown;
}

namespace {
// Where a buffer starts when the size of the input is not known (a gzip
// stream): it doubles up to the block size as the input turns out larger.
constexpr std::size_t kUnknownStart = std::size_t{16} << 10;
}  // namespace

// The first buffer of a load: a whole block when the input is known to fill
// one; a small input gets a buffer of its own size (plus one byte, so that the
// first read also sees the end). Only the allocation depends on this, never
// where blocks are cut, and an input that outgrows its size hint still reads
// to its end (the buffer grows).
std::size_t LineBlockReader::first_reserve() const {
  const std::uint64_t hint = source_.size_hint();
  if (hint == 0) return std::min(block_bytes_, kUnknownStart);
  if (hint >= block_bytes_) return block_bytes_;
  return static_cast<std::size_t>(hint) + 1;
}

bool LineBlockReader::next(LineBlock& block) {
  block.size_ = 0;
  // Bytes carried over mean the input has filled a block before.
  block.reserve(carry_.size_ > 0 ? std::max(block_bytes_, carry_.size_ + block_bytes_ / 2) : first_reserve(), 0);
  if (carry_.size_ > 0) {
    std::memcpy(block.data_.get(), carry_.data_.get(), carry_.size_);
    block.size_ = carry_.size_;
    carry_.size_ = 0;
  }
  std::size_t scanned = 0;  // bytes known to hold no line feed
  bool first_line_ended = false;
  while (!ended_) {
    if (block.size_ == block.capacity_) {
      // Doubling while below a block, a block at a time beyond.
      const std::size_t step = block.capacity_ < block_bytes_ ? std::max<std::size_t>(block.capacity_, 64) : block_bytes_;
      block.reserve(block.capacity_ + step, block.size_);
    }
    // At most a block per read, however big the buffer has grown: a block
    // that is cut then holds less than two blocks after its first line, so
    // every line longer than the limit starts a block at some point.
    const std::size_t want = std::min(block.capacity_ - block.size_, block_bytes_);
    const std::size_t got = source_.read(block.data_.get() + block.size_, want);
    if (got == 0) {
      ended_ = true;
      break;
    }
    block.size_ += got;
    const char* base = block.data_.get();
    if (!first_line_ended) {
      // A block starts with a line, and only that line can make it grow
      // past a block: it may not outgrow the limit.
      const void* first = std::memchr(base + scanned, '\n', block.size_ - scanned);
      const std::size_t length = first ? static_cast<std::size_t>(static_cast<const char*>(first) - base) : block.size_;
      if (length > max_line_bytes_) {
        failure_ = Error::limit("a line is longer than " + byte_size_text(max_line_bytes_)).at(handed_out_);
        ended_ = true;
        block.size_ = 0;
        return false;
      }
      first_line_ended = first != nullptr;
      scanned = length;
    }
    if (block.size_ < block_bytes_) continue;
    // Cut after the last line feed; the rest starts the next block.
    const void* nl = memrchr(base + scanned, '\n', block.size_ - scanned);
    if (nl == nullptr) {
      scanned = block.size_;  // one long line so far: read on
      continue;
    }
    const std::size_t cut = static_cast<const char*>(nl) - base + 1;
    const std::size_t rest = block.size_ - cut;
    carry_.reserve(rest, 0);
    if (rest > 0) std::memcpy(carry_.data_.get(), base + cut, rest);
    carry_.size_ = rest;
    block.size_ = cut;
    handed_out_ += cut;
    return true;
  }
  handed_out_ += block.size_;
  return block.size_ > 0;
}

}  // namespace velk
