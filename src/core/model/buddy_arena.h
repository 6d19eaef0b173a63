// Memory for the big lists a load builds: the change lists of the store.
//
// Lists that grow by doubling are what a general allocator serves worst: the
// per-thread heaps grow a few pages at a time (a system call each) and give
// memory back only to fault it in again, and a list that outgrows its chunk
// is copied into a new one. This arena maps 64 MiB regions once and hands
// out blocks as a buddy allocator: a block of 2^k bytes (4 KiB up to a whole
// region) is one half of a block of 2^(k+1), and two free halves merge
// again. Lists that double free blocks of the size the next lists to double
// ask for, so the regions are reused while the lists grow; a region left
// wholly free is given back to the system.
//
// The regions use the system's small pages. Huge pages (MADV_HUGEPAGE) were
// measured: the TLB then covers the ends of thousands of lists, and a big
// load ran a tenth faster when its huge pages came cheap. But on a virtual
// machine a fresh huge page sometimes costs the host's faults as well, and
// such loads ran up to a third slower; on average nothing was gained.
//
// Not thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velk {

class BuddyArena {
 public:
  static constexpr unsigned kMinOrder = 12;  // 4 KiB
  static constexpr unsigned kMaxOrder = 26;  // 64 MiB: a region
  static constexpr std::size_t kMinBytes = std::size_t{1} << kMinOrder;
  static constexpr std::size_t kRegionBytes = std::size_t{1} << kMaxOrder;

  BuddyArena() = default;
  ~BuddyArena();
  BuddyArena(const BuddyArena&) = delete;
  BuddyArena& operator=(const BuddyArena&) = delete;

  // A block of at least `bytes` bytes (rounded up to a power of two, at
  // least kMinBytes), aligned to kMinBytes; above kRegionBytes, a mapping of
  // its own. Throws std::bad_alloc.
  void* allocate(std::size_t bytes);
  // Gives back a block that allocate(bytes) returned, with the same `bytes`.
  void deallocate(void* block, std::size_t bytes) noexcept;

  // Regions mapped now (for tests).
  std::size_t regions() const noexcept;

 private:
  static constexpr std::size_t kPagesPerRegion = kRegionBytes >> kMinOrder;
  static constexpr std::uint8_t kNotFree = 0xFF;

  struct Region {
    char* base = nullptr;  // nullptr: given back, the slot is free
    // Per 4 KiB page: the order of the free block that starts there, or
    // kNotFree (a block in use, or a page inside a block).
    std::vector<std::uint8_t> free_order;
  };
  // Where a free block was when it was listed.
  struct Listed {
    std::uint32_t region;
    std::uint32_t page;
  };
  static unsigned order_of(std::size_t bytes) noexcept;
  bool is_free(const Listed& b, unsigned order) const noexcept;
  void add_region();
  void release(std::uint32_t region, std::size_t page, unsigned order) noexcept;

  std::vector<Region> regions_;
  // Per order, blocks that were free when listed. An entry is checked
  // against free_order when taken, so a merge leaves the entry of the block
  // it swallowed behind instead of searching for it.
  std::array<std::vector<Listed>, kMaxOrder + 1> free_;
};

}  // namespace velk
