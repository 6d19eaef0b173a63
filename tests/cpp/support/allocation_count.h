// Counts every allocation of the test program that includes it: the number
// of calls, the bytes live and the peak of live bytes. Replaces the global
// operator new and delete, so include it in exactly one source file of an
// executable (each *_test.cpp is its own executable).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace velk::testing {

struct AllocationCounters {
  std::atomic<std::size_t> calls{0};
  std::atomic<std::size_t> live_bytes{0};
  std::atomic<std::size_t> peak_bytes{0};
};

inline AllocationCounters& allocations() {
  static AllocationCounters counters;
  return counters;
}

// Makes the peak start again from the bytes live now.
inline void reset_peak_bytes() { allocations().peak_bytes.store(allocations().live_bytes.load()); }

namespace detail {

// Each block carries its size in front, so that delete can count it without
// relying on the sized forms being used.
inline constexpr std::size_t kAllocHeader = alignof(std::max_align_t);

inline void* counted_alloc(std::size_t n) {
  void* raw = std::malloc(n + kAllocHeader);
  if (raw == nullptr) throw std::bad_alloc();
  *static_cast<std::size_t*>(raw) = n;
  AllocationCounters& c = allocations();
  c.calls.fetch_add(1, std::memory_order_relaxed);
  const std::size_t live = c.live_bytes.fetch_add(n) + n;
  std::size_t peak = c.peak_bytes.load();
  while (live > peak && !c.peak_bytes.compare_exchange_weak(peak, live)) {
  }
  return static_cast<char*>(raw) + kAllocHeader;
}

inline void counted_free(void* p) noexcept {
  if (p == nullptr) return;
  void* raw = static_cast<char*>(p) - kAllocHeader;
  allocations().live_bytes.fetch_sub(*static_cast<std::size_t*>(raw));
  std::free(raw);
}

}  // namespace detail
}  // namespace velk::testing

void* operator new(std::size_t n) { return velk::testing::detail::counted_alloc(n); }
void* operator new[](std::size_t n) { return velk::testing::detail::counted_alloc(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return velk::testing::detail::counted_alloc(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& tag) noexcept { return operator new(n, tag); }
void operator delete(void* p) noexcept { velk::testing::detail::counted_free(p); }
void operator delete[](void* p) noexcept { velk::testing::detail::counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { velk::testing::detail::counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { velk::testing::detail::counted_free(p); }
