// An allocator for the big lists of plain values a load builds: the change
// lists of the value store and the VCD parser's change records.
//
// Two things make those lists cheap to grow. The elements a list grows by
// are left uninitialised: the lists are sized for the most elements a step
// can write and then written, and zero-filling that room first would touch
// memory only to overwrite it. And blocks of 4 KiB and more come from a
// buddy arena (buddy_arena.h) shared by the process; small lists, the many
// quiet signals, stay with the general allocator.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

namespace velk {

namespace detail {
// Blocks of the shared arena, for `bytes` of kBulkMinBytes or more; safe to
// call from any thread. A block goes back to bulk_deallocate with the same
// `bytes`.
inline constexpr std::size_t kBulkMinBytes = std::size_t{4} << 10;
void* bulk_allocate(std::size_t bytes);
void bulk_deallocate(void* block, std::size_t bytes) noexcept;
}  // namespace detail

template <class T>
struct BulkAllocator {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = BulkAllocator<U>;
  };
  BulkAllocator() = default;
  template <class U>
  BulkAllocator(const BulkAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    if (n * sizeof(T) < detail::kBulkMinBytes) return std::allocator<T>().allocate(n);
    return static_cast<T*>(detail::bulk_allocate(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) < detail::kBulkMinBytes) return std::allocator<T>().deallocate(p, n);
    detail::bulk_deallocate(p, n * sizeof(T));
  }

  // Growing a list default-initialises: plain values are left as they are.
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }

  friend bool operator==(const BulkAllocator&, const BulkAllocator&) noexcept { return true; }
};

template <class T>
using BulkList = std::vector<T, BulkAllocator<T>>;

}  // namespace velk
