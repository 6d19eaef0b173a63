#include "model/buddy_arena.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <new>

namespace velk {
namespace {

// `bytes` of fresh memory, or nullptr.
char* map_fresh(std::size_t bytes) noexcept {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<char*>(p);
}

}  // namespace

BuddyArena::~BuddyArena() {
  for (const Region& r : regions_) {
    if (r.base != nullptr) munmap(r.base, kRegionBytes);
  }
}

std::size_t BuddyArena::regions() const noexcept {
  return static_cast<std::size_t>(
      std::count_if(regions_.begin(), regions_.end(), [](const Region& r) { return r.base != nullptr; }));
}

unsigned BuddyArena::order_of(std::size_t bytes) noexcept {
  return bytes <= kMinBytes ? kMinOrder : static_cast<unsigned>(std::bit_width(bytes - 1));
}

bool BuddyArena::is_free(const Listed& b, unsigned order) const noexcept {
  const Region& r = regions_[b.region];
  return r.base != nullptr && r.free_order[b.page] == order;
}

void BuddyArena::add_region() {
  auto slot = static_cast<std::size_t>(
      std::find_if(regions_.begin(), regions_.end(), [](const Region& r) { return r.base == nullptr; }) -
      regions_.begin());
  if (slot == regions_.size()) regions_.emplace_back();
  Region& r = regions_[slot];
  r.free_order.assign(kPagesPerRegion, kNotFree);
  free_[kMaxOrder].reserve(free_[kMaxOrder].size() + 1);
  r.base = map_fresh(kRegionBytes);
  if (r.base == nullptr) throw std::bad_alloc();
  r.free_order[0] = kMaxOrder;
  free_[kMaxOrder].push_back({static_cast<std::uint32_t>(slot), 0});
}

void* BuddyArena::allocate(std::size_t bytes) {
  if (bytes > SIZE_MAX / 2) throw std::bad_alloc();
  const unsigned order = order_of(bytes);
  if (order > kMaxOrder) {
    void* own = map_fresh(std::size_t{1} << order);
    if (own == nullptr) throw std::bad_alloc();
    return own;
  }
  // Room for the halves a split lists, so that nothing throws once a block
  // is taken.
  for (unsigned k = order; k < kMaxOrder; ++k) free_[k].reserve(free_[k].size() + 1);
  // The smallest free block that will do, split down to size.
  for (unsigned have = order;; ++have) {
    if (have > kMaxOrder) {
      add_region();
      have = kMaxOrder;
    }
    auto& list = free_[have];
    while (!list.empty()) {
      const Listed b = list.back();
      list.pop_back();
      if (!is_free(b, have)) continue;  // taken or merged since it was listed
      Region& r = regions_[b.region];
      r.free_order[b.page] = kNotFree;
      for (unsigned k = have; k > order; --k) {
        const std::uint32_t upper = b.page + (std::uint32_t{1} << (k - 1 - kMinOrder));
        r.free_order[upper] = static_cast<std::uint8_t>(k - 1);
        free_[k - 1].push_back({b.region, upper});
      }
      return r.base + (std::size_t{b.page} << kMinOrder);
    }
  }
}

void BuddyArena::deallocate(void* block, std::size_t bytes) noexcept {
  const unsigned order = order_of(bytes);
  char* const p = static_cast<char*>(block);
  if (order > kMaxOrder) {
    munmap(p, std::size_t{1} << order);
    return;
  }
  for (std::size_t i = 0; i < regions_.size(); ++i) {
    const Region& r = regions_[i];
    if (r.base != nullptr && p >= r.base && p < r.base + kRegionBytes) {
      return release(static_cast<std::uint32_t>(i), static_cast<std::size_t>(p - r.base) >> kMinOrder, order);
    }
  }
}

void BuddyArena::release(std::uint32_t region, std::size_t page, unsigned order) noexcept {
  Region& r = regions_[region];
  // Merges with the buddy while it is free and whole.
  while (order < kMaxOrder) {
    const std::size_t buddy = page ^ (std::size_t{1} << (order - kMinOrder));
    if (r.free_order[buddy] != order) break;
    r.free_order[buddy] = kNotFree;
    page = std::min(page, buddy);
    ++order;
  }
  if (order == kMaxOrder) {
    // The whole region is free: give it back (its listed entries go stale).
    munmap(r.base, kRegionBytes);
    r.base = nullptr;
    r.free_order = {};
    // With no region left every entry is stale: the lists start afresh, so
    // that a process loading dump after dump does not pile them up.
    if (regions() == 0) {
      for (auto& list : free_) list = {};
    }
    return;
  }
  r.free_order[page] = static_cast<std::uint8_t>(order);
  try {
    free_[order].push_back({region, static_cast<std::uint32_t>(page)});
  } catch (...) {
    // Unlisted, the block stays unused until its buddy is freed and merges it.
  }
}

}  // namespace velk
