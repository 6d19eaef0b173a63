#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <thread>
#include <atomic>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "model/bulk_allocator.h"
#include "model/buddy_arena.h"

namespace velk {
namespace {

constexpr std::size_t kMin = BuddyArena::kMinBytes;
constexpr std::size_t kRegion = BuddyArena::kRegionBytes;

std::size_t rounded(std::size_t bytes) { return std::max(kMin, std::bit_ceil(bytes)); }

// Every block handed out is aligned, lies apart from every other live
// block, and keeps what was written into it until it is given back: checked
// over random sequences of the sizes a growing list asks for.
TEST(BuddyArena, LiveBlocksNeverOverlapAndKeepTheirContents) {
  std::mt19937 rng(7);
  BuddyArena arena;
  struct Live {
    std::size_t bytes;
    unsigned char fill;
  };
  std::map<char*, Live> live;
  const auto check = [&](char* p, const Live& b) {
    // The first and last byte of every page, and the block's last byte.
    for (std::size_t at = 0; at < b.bytes; at += kMin) {
      ASSERT_EQ(static_cast<unsigned char>(p[at]), b.fill);
      ASSERT_EQ(static_cast<unsigned char>(p[std::min(at + kMin, b.bytes) - 1]), b.fill);
    }
  };
  for (int step = 0; step < 4000; ++step) {
    if (live.empty() || rng() % 5 < 3) {
      const std::size_t bytes = kMin + rng() % (std::size_t{1} << (rng() % 22));
      auto* p = static_cast<char*>(arena.allocate(bytes));
      ASSERT_EQ(reinterpret_cast<std::uintptr_t>(p) % kMin, 0u);
      const auto next = live.lower_bound(p);
      if (next != live.end()) {
        ASSERT_LE(p + rounded(bytes), next->first);
      }
      if (next != live.begin()) {
        const auto prev = std::prev(next);
        ASSERT_LE(prev->first + rounded(prev->second.bytes), p);
      }
      const Live b{bytes, static_cast<unsigned char>(rng())};
      for (std::size_t at = 0; at < bytes; at += kMin) {
        p[at] = static_cast<char>(b.fill);
        p[std::min(at + kMin, bytes) - 1] = static_cast<char>(b.fill);
      }
      live.emplace(p, b);
    } else {
      auto it = live.begin();
      std::advance(it, rng() % live.size());
      check(it->first, it->second);
      arena.deallocate(it->first, it->second.bytes);
      live.erase(it);
    }
  }
  for (const auto& [p, b] : live) {
    check(p, b);
    arena.deallocate(p, b.bytes);
  }
  // Freed blocks merge back into whole regions, which go back to the system.
  EXPECT_EQ(arena.regions(), 0u);
}

TEST(BuddyArena, FreedHalvesMergeAndServeTheWhole) {
  BuddyArena arena;
  void* a = arena.allocate(kRegion / 2);
  void* b = arena.allocate(kRegion / 2);
  EXPECT_EQ(arena.regions(), 1u);
  void* keep = nullptr;
  {
    // A small block keeps the region mapped once the halves are free.
    arena.deallocate(b, kRegion / 2);
    keep = arena.allocate(kMin);
    arena.deallocate(a, kRegion / 2);
  }
  void* half = arena.allocate(kRegion / 2);
  EXPECT_EQ(arena.regions(), 1u);
  arena.deallocate(half, kRegion / 2);
  arena.deallocate(keep, kMin);
  EXPECT_EQ(arena.regions(), 0u);
}

TEST(BuddyArena, BlocksAboveARegionAreMappedApart) {
  BuddyArena arena;
  auto* p = static_cast<char*>(arena.allocate(kRegion + 1));
  p[0] = 1;
  p[2 * kRegion - 1] = 2;  // rounded up to a power of two
  EXPECT_EQ(arena.regions(), 0u);
  arena.deallocate(p, kRegion + 1);
  EXPECT_THROW(arena.allocate(SIZE_MAX / 2 + 2), std::bad_alloc);
}

// Lists on several threads at once share the process's arena.
TEST(BulkAllocator, ListsGrowOnSeveralThreadsAtOnce) {
  std::vector<std::thread> threads;
  std::vector<char> intact(4, 0);
  for (unsigned t = 0; t < intact.size(); ++t) {
    threads.emplace_back([&intact, t] {
      std::vector<std::vector<std::uint32_t, BulkAllocator<std::uint32_t>>> lists(16);
      for (std::uint32_t i = 0; i < 20000; ++i) lists[i % lists.size()].push_back(i * (t + 1));
      bool ok = true;
      for (std::size_t l = 0; l < lists.size(); ++l) {
        for (std::size_t k = 0; k < lists[l].size(); ++k) ok &= lists[l][k] == (k * lists.size() + l) * (t + 1);
      }
      intact[t] = ok;
    });
  }
  for (auto& th : threads) th.join();
  for (char ok : intact) EXPECT_TRUE(ok);
}

// A child forked while another thread grows lists can grow its own: the
// arena's lock is not left held in the child. The sanitizers' own
// allocators are not fork-safe while other threads allocate, so this runs
// in the plain build only.
TEST(BulkAllocator, AChildForkedDuringGrowthCanAllocate) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer allocator is not fork-safe";
#endif
  std::atomic<bool> stop{false};
  std::thread busy([&stop] {
    while (!stop) {
      std::vector<std::uint32_t, BulkAllocator<std::uint32_t>> list;
      for (std::uint32_t i = 0; i < 50000; ++i) list.push_back(i);
    }
  });
  for (int round = 0; round < 20; ++round) {
    const pid_t child = fork();
    if (child == -1) break;
    if (child == 0) {
      std::vector<std::uint32_t, BulkAllocator<std::uint32_t>> list(100000, 7);
      _exit(list.back() == 7 ? 0 : 1);
    }
    // A child stuck on the lock is killed rather than waited for.
    int status = 0;
    pid_t done = 0;
    for (int waited = 0; waited < 1000 && (done = waitpid(child, &status, WNOHANG)) == 0; ++waited) usleep(10000);
    if (done == 0) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      ADD_FAILURE() << "the child did not finish, round " << round;
      break;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << round;
  }
  stop = true;
  busy.join();
}

}  // namespace
}  // namespace velk
