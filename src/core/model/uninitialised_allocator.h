// An allocator that leaves the elements a vector grows by uninitialised.
//
// The value store and the VCD parser size their lists for the most elements
// a step can write and then write them; zero-filling that room first would
// touch (and fault in) memory only to overwrite it, and room never written
// would stay resident for nothing.
#pragma once

#include <memory>
#include <new>
#include <utility>

namespace velk {

template <class T>
struct UninitialisedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <class U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
};

}  // namespace velk
