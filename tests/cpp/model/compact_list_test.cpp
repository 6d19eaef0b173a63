#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "model/compact_list.h"

namespace velk {
namespace {

// The list against a std::vector over random sequences of what the value
// store does with its lists: appends, growth with and without a fill,
// room made ahead, moves that keep a prefix, and whole-list moves. Sizes
// cross the arena's threshold, so both kinds of block are used.
TEST(CompactList, HoldsWhatAVectorHolds) {
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    SmallBlockArena arena;
    CompactList<std::uint16_t> list;
    std::vector<std::uint16_t> model;
    for (int step = 0; step < 400; ++step) {
      const auto value = static_cast<std::uint16_t>(rng());
      const std::size_t n = rng() % 3000;
      switch (rng() % 8) {
        case 0:
          for (std::size_t k = 0; k < n % 50; ++k) {
            list.push_back(static_cast<std::uint16_t>(value + k));
            model.push_back(static_cast<std::uint16_t>(value + k));
          }
          break;
        case 1:
          list.resize(n, value);
          model.resize(n, value);
          break;
        case 2: {
          // Room left uninitialised, then written.
          const std::size_t old = list.size();
          list.resize(old + n % 100);
          for (std::size_t k = old; k < list.size(); ++k) list[k] = static_cast<std::uint16_t>(k);
          for (std::size_t k = old; k < list.size(); ++k) model.push_back(static_cast<std::uint16_t>(k));
          break;
        }
        case 3:
          list.reserve(n);
          ASSERT_GE(list.capacity(), n);
          break;
        case 4: {
          // A move that keeps a prefix and leaves room.
          const std::size_t keep = model.empty() ? 0 : rng() % (model.size() + 1);
          list.move_to(keep + n, keep, keep);
          model.resize(keep);
          ASSERT_GE(list.capacity(), keep + n);
          break;
        }
        case 7: {
          // A small block of the arena, which the list leaves behind (not
          // freeing it) when it grows or goes.
          const std::size_t room = 1 + n % (SmallBlockArena::kMaxBlock / sizeof(std::uint16_t));
          const std::size_t keep = std::min(model.size(), room);
          list.move_to(room, keep, keep, &arena);
          model.resize(keep);
          break;
        }
        case 5:
          list.assign(n % 200, value);
          model.assign(n % 200, value);
          ASSERT_GE(list.capacity(), model.size());
          break;
        default: {
          CompactList<std::uint16_t> moved(std::move(list));
          ASSERT_TRUE(list.empty());
          list = std::move(moved);
          break;
        }
      }
      ASSERT_EQ(list.size(), model.size());
      ASSERT_TRUE(std::equal(list.begin(), list.end(), model.begin(), model.end())) << "round " << round << " step " << step;
    }
  }
}

// Blocks of the arena are aligned, apart from one another, and keep what
// was written into them when their chunks move to another arena; an arena
// moved from starts chunks of its own.
TEST(SmallBlockArena, BlocksStayPutAndApart) {
  std::mt19937 rng(5);
  SmallBlockArena kept;
  struct Block {
    unsigned char* at;
    std::size_t bytes;
    unsigned char fill;
  };
  std::vector<Block> blocks;
  for (int round = 0; round < 4; ++round) {
    SmallBlockArena arena;
    for (int i = 0; i < 5000; ++i) {
      const std::size_t bytes = 1 + rng() % SmallBlockArena::kMaxBlock;
      auto* at = static_cast<unsigned char*>(arena.allocate(bytes));
      ASSERT_EQ(reinterpret_cast<std::uintptr_t>(at) % 8, 0u);
      const auto fill = static_cast<unsigned char>(blocks.size());
      std::memset(at, fill, bytes);
      blocks.push_back({at, bytes, fill});
    }
    SmallBlockArena moved(std::move(arena));
    // The arena moved from cuts no more blocks from the chunks it gave away.
    ASSERT_NE(arena.allocate(8), moved.allocate(8));
    kept.append(std::move(moved));
  }
  for (const Block& b : blocks) {
    for (std::size_t k = 0; k < b.bytes; ++k) ASSERT_EQ(b.at[k], b.fill);
  }
}

// A list past 32 bits of elements is refused before anything is allocated,
// and the list is left as it was: a size that wrapped would let writes run
// past the block.
TEST(CompactList, RefusesSizesPastItsLimit) {
  CompactList<std::uint8_t> list;
  list.resize(5, 7);
  const std::size_t too_many = CompactList<std::uint8_t>::kMaxSize + 1;
  EXPECT_THROW(list.resize(too_many), std::length_error);
  EXPECT_THROW(list.reserve(too_many), std::length_error);
  EXPECT_THROW(list.move_to(too_many, 5, 5), std::length_error);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[4], 7);
  // A list of bytes that may pass 32 bits (a wide signal's words) has a
  // limit of its own, far past any dump.
  EXPECT_GT((CompactList<std::uint8_t, std::uint64_t>::kMaxSize), std::size_t{8} << 32);
}

}  // namespace
}  // namespace velk
