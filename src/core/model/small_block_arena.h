// Blocks of a few bytes for the first lists of a store's columns, cut one
// after another from chunks. Most signals of a big design change a few
// times: from the general allocator each of their lists would take a chunk
// of 32 bytes with its header, a call to allocate it and another to free it
// when the trace goes. A block here is never given back on its own: a list
// that outgrows its block leaves it behind, and the chunks go with the
// arena (which the store holding the lists keeps).
//
// Not thread-safe: each part of a store built on several threads has its own.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace velk {

class SmallBlockArena {
 public:
  // The largest block handed out; blocks are 8-byte aligned.
  static constexpr std::size_t kMaxBlock = 32;

  SmallBlockArena() = default;
  SmallBlockArena(SmallBlockArena&& other) noexcept { *this = std::move(other); }
  SmallBlockArena& operator=(SmallBlockArena&& other) noexcept {
    chunks_ = std::move(other.chunks_);
    next_ = std::exchange(other.next_, nullptr);
    end_ = std::exchange(other.end_, nullptr);
    other.chunks_.clear();
    return *this;
  }
  SmallBlockArena(const SmallBlockArena&) = delete;
  SmallBlockArena& operator=(const SmallBlockArena&) = delete;

  // A block of `bytes` (1 .. kMaxBlock), valid while the arena lives.
  void* allocate(std::size_t bytes) {
    const std::size_t rounded = (bytes + 7) & ~std::size_t{7};
    if (static_cast<std::size_t>(end_ - next_) < rounded) start_chunk();
    void* block = next_;
    next_ += rounded;
    return block;
  }
  // Takes over the chunks of `other`, whose blocks stay valid.
  void append(SmallBlockArena&& other) {
    chunks_.reserve(chunks_.size() + other.chunks_.size());
    for (auto& chunk : other.chunks_) chunks_.push_back(std::move(chunk));
    other.chunks_.clear();
    other.next_ = other.end_ = nullptr;
  }
  // Bytes held in chunks.
  std::size_t bytes_held() const noexcept { return chunks_.size() * kChunkBytes; }

 private:
  static constexpr std::size_t kChunkBytes = std::size_t{64} << 10;

  void start_chunk() {
    chunks_.reserve(chunks_.size() + 1);
    chunks_.push_back(std::make_unique_for_overwrite<std::byte[]>(kChunkBytes));
    next_ = chunks_.back().get();
    end_ = next_ + kChunkBytes;
  }

  std::vector<std::unique_ptr<std::byte[]>> chunks_;
  std::byte* next_ = nullptr;
  std::byte* end_ = nullptr;
};

}  // namespace velk
