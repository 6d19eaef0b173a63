// A list of plain values in 16 bytes: a pointer and a 32-bit size and
// capacity, where std::vector takes 24. A value store keeps three lists per
// signal, and a big design has hundreds of thousands of signals, most of
// them changing a few times: the lists' headers are then a good part of
// the store. A list whose length in bytes may pass 32 bits takes a 64-bit
// size and capacity (SizeT).
//
// Memory comes from BulkAllocator, so that elements a list grows by are left
// uninitialised and big lists come from the arena; or, for a list's first
// few elements, from a SmallBlockArena, whose blocks the list leaves behind
// instead of freeing them. Which kind a block is follows from its size: a
// block of the allocator always holds more than SmallBlockArena::kMaxBlock
// bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "model/bulk_allocator.h"
#include "model/small_block_arena.h"

namespace velk {

template <class T, class SizeT = std::uint32_t>
class CompactList {
  static_assert(std::is_trivially_copyable_v<T> && std::is_unsigned_v<SizeT>);

 public:
  // The most elements a list holds.
  static constexpr std::size_t kMaxSize = std::numeric_limits<SizeT>::max();
  // The least room of a block of the allocator (a list with no more is not
  // worth cutting to size).
  static constexpr std::size_t kLeastOwned = SmallBlockArena::kMaxBlock / sizeof(T) + 1;

  CompactList() noexcept = default;
  ~CompactList() { release(); }
  CompactList(CompactList&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  CompactList& operator=(CompactList&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  CompactList(const CompactList&) = delete;
  CompactList& operator=(const CompactList&) = delete;

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }

  void push_back(T value) {
    if (size_ == capacity()) [[unlikely]] reserve(grown(size_ + std::size_t{1}));
    data_[size_++] = value;
  }
  // Room for `n` elements; the list moves only when it has less.
  void reserve(std::size_t n) {
    if (n > capacity()) move_to(n, size_);
  }
  // Grows with elements left uninitialised, or shrinks.
  void resize(std::size_t n) {
    if (n > capacity()) reserve(grown(n));
    size_ = static_cast<SizeT>(n);
  }
  // Grows with copies of `value`, or shrinks.
  void resize(std::size_t n, T value) {
    const std::size_t old = size_;
    resize(n);
    for (std::size_t i = old; i < n; ++i) data_[i] = value;
  }
  // `n` copies of `value`, in room for no more.
  void assign(std::size_t n, T value) {
    CompactList fresh;
    fresh.move_to(n, 0);
    fresh.resize(n, value);
    *this = std::move(fresh);
  }
  // Moves the list to a block with room for `capacity` elements, sized
  // `size` (at most the capacity), of which only the first `keep` (at most
  // the old size) are copied, the rest left uninitialised. The block is one
  // of `arena` when there is one and the room fits its blocks; else one of
  // the allocator, with more room if the arena's blocks could hold it.
  void move_to(std::size_t capacity, std::size_t size, std::size_t keep, SmallBlockArena* arena = nullptr) {
    if (capacity > kMaxSize) throw std::length_error("value store: a signal's change list is too long");
    T* moved = nullptr;
    if (capacity != 0 && from_arena(capacity)) {
      if (arena != nullptr) {
        moved = static_cast<T*>(arena->allocate(capacity * sizeof(T)));
      } else {
        capacity = kLeastOwned;
      }
    }
    if (moved == nullptr && capacity != 0) moved = BulkAllocator<T>().allocate(capacity);
    adopt(moved, capacity, size, keep);
  }

 private:
  void move_to(std::size_t capacity, std::size_t size) { move_to(capacity, size, size); }
  // Whether a block of `capacity` elements is an arena's (not freed).
  static constexpr bool from_arena(std::size_t capacity) noexcept {
    return capacity * sizeof(T) <= SmallBlockArena::kMaxBlock;
  }

  // The room to grow to for `n` elements: double, as far as a list goes.
  std::size_t grown(std::size_t n) const noexcept { return std::max(n, std::min(2 * capacity(), kMaxSize)); }
  // Moves to the block `moved`, with room for `capacity` elements.
  void adopt(T* moved, std::size_t capacity, std::size_t size, std::size_t keep) noexcept {
    if (keep != 0) std::memcpy(moved, data_, keep * sizeof(T));
    release();
    data_ = moved;
    size_ = static_cast<SizeT>(size);
    capacity_ = static_cast<SizeT>(capacity);
  }
  void release() noexcept {
    if (data_ != nullptr && !from_arena(capacity_)) BulkAllocator<T>().deallocate(data_, capacity_);
  }

  T* data_ = nullptr;
  SizeT size_ = 0;
  SizeT capacity_ = 0;
};

}  // namespace velk
