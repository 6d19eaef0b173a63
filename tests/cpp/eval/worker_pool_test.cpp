#include "eval/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "eval/find.h"
#include "eval_test_support.h"

namespace velk {
namespace {

using namespace velk::testing;
namespace cfg = pool_config;

TEST(PoolConfigTest, CountIsAStrictDecimal) {
  EXPECT_EQ(cfg::parse_count("7"), 7u);
  EXPECT_EQ(cfg::parse_count("+3"), 3u);
  EXPECT_EQ(cfg::parse_count("0"), 0u);
  EXPECT_EQ(cfg::parse_count("0012"), 12u);
  for (const char* bad : {"", "+", "-1", " 4", "4 ", "4x", "abc", "1e3", "99999999999999999999999"}) {
    EXPECT_FALSE(cfg::parse_count(bad).has_value()) << '"' << bad << '"';
  }
  EXPECT_FALSE(cfg::parse_count(nullptr).has_value());
}

TEST(PoolConfigTest, CgroupV2CpuMax) {
  EXPECT_FALSE(cfg::parse_cpu_max("max 100000\n").has_value());
  EXPECT_EQ(cfg::parse_cpu_max("200000 100000\n"), 2u);
  EXPECT_EQ(cfg::parse_cpu_max("150000 100000"), 2u);  // rounded up
  EXPECT_EQ(cfg::parse_cpu_max("1000 100000"), 1u);    // at least one
  EXPECT_FALSE(cfg::parse_cpu_max("100000 0").has_value());
  EXPECT_FALSE(cfg::parse_cpu_max("").has_value());
  EXPECT_FALSE(cfg::parse_cpu_max("200000").has_value());
}

TEST(PoolConfigTest, CgroupV1Quota) {
  EXPECT_FALSE(cfg::parse_cfs("-1\n", "100000\n").has_value());
  EXPECT_EQ(cfg::parse_cfs("250000\n", "100000\n"), 3u);
  EXPECT_EQ(cfg::parse_cfs("50000", "100000"), 1u);
  EXPECT_FALSE(cfg::parse_cfs("50000", "0").has_value());
  EXPECT_FALSE(cfg::parse_cfs("x", "100000").has_value());
}

// Runs in a child so the test process's environment stays untouched.
TEST(PoolConfigTest, EnvironmentPrecedence) {
  const int status = run_in_child([] {
    const std::size_t cpus = cfg::available_cpus();
    bool ok = cpus >= 1;
    unsetenv("RAYON_NUM_THREADS");
    unsetenv("RAYON_RS_NUM_CPUS");
    ok = ok && cfg::thread_count() == cpus;
    setenv("RAYON_RS_NUM_CPUS", "5", 1);
    ok = ok && cfg::thread_count() == 5;
    setenv("RAYON_NUM_THREADS", "3", 1);
    ok = ok && cfg::thread_count() == 3;
    setenv("RAYON_NUM_THREADS", "many", 1);  // unusable: the second variable decides
    ok = ok && cfg::thread_count() == 5;
    setenv("RAYON_NUM_THREADS", "0", 1);  // zero asks for the default
    ok = ok && cfg::thread_count() == cpus;
    setenv("RAYON_NUM_THREADS", "", 1);
    setenv("RAYON_RS_NUM_CPUS", "0", 1);
    ok = ok && cfg::thread_count() == cpus;
    return ok;
  });
  EXPECT_EQ(status, 0);
}

TEST(ChunkSizeTest, AtLeastTheMinimumAndAboutEightPerThread) {
  EXPECT_EQ(chunk_size(100, 4, 1024), 1024u);
  EXPECT_EQ(chunk_size(1'000'000, 4, 1024), 31250u);
  EXPECT_EQ(chunk_size(0, 0, 0), 1u);
}

TEST(WorkerPoolTest, RunsEveryChunkExactlyOnce) {
  WorkerPool& pool = WorkerPool::instance();
  EXPECT_GE(pool.size(), 1u);
  for (const std::size_t count : {0u, 1u, 2u, 3u, 257u}) {
    std::vector<std::atomic<int>> hits(count);
    pool.run(count, [&](std::size_t k) { hits[k].fetch_add(1); });
    for (std::size_t k = 0; k < count; ++k) EXPECT_EQ(hits[k].load(), 1) << "count " << count << " chunk " << k;
  }
}

TEST(WorkerPoolTest, FirstFailureIsRethrownAfterTheJobFinishes) {
  std::atomic<int> done{0};
  const auto job = [&](std::size_t k) {
    if (k == 3) throw std::runtime_error("chunk 3");
    done.fetch_add(1);
  };
  EXPECT_THROW(WorkerPool::instance().run(40, job), std::runtime_error);
  EXPECT_EQ(done.load(), 39);
  // The pool is still usable afterwards.
  std::atomic<int> again{0};
  WorkerPool::instance().run(10, [&](std::size_t) { again.fetch_add(1); });
  EXPECT_EQ(again.load(), 10);
}

TEST(WorkerPoolTest, JobsFromManyCallersAllComplete) {
  std::vector<std::thread> callers;
  std::vector<long> sums(8, 0);
  for (int c = 0; c < 8; ++c) {
    callers.emplace_back([&, c] {
      for (int round = 0; round < 50; ++round) {
        std::vector<long> part(64, 0);
        WorkerPool::instance().run(part.size(), [&](std::size_t k) { part[k] = static_cast<long>(k) + c; });
        for (long v : part) sums[c] += v;
      }
    });
  }
  for (auto& t : callers) t.join();
  for (int c = 0; c < 8; ++c) EXPECT_EQ(sums[c], 50L * (63 * 64 / 2 + 64L * c)) << "caller " << c;
}

// Runs two chunks that can only finish together, so they must run on two
// threads at once: the caller and a live worker. False on timeout.
bool two_chunks_meet() {
  std::mutex m;
  std::condition_variable cv;
  int arrived = 0;
  std::atomic<bool> met{true};
  WorkerPool::instance().run(2, [&](std::size_t) {
    std::unique_lock lock(m);
    ++arrived;
    cv.notify_all();
    if (!cv.wait_for(lock, std::chrono::seconds(20), [&] { return arrived == 2; })) met = false;
  });
  return met.load();
}

TEST(WorkerPoolTest, WorkersRunAlongsideTheCaller) { EXPECT_TRUE(two_chunks_meet()); }

TEST(WorkerPoolTest, ForkedChildHasLiveWorkers) {
  ASSERT_TRUE(two_chunks_meet());  // the parent's pool exists before the fork
  EXPECT_EQ(run_in_child([] { return WorkerPool::instance().size() >= 1 && two_chunks_meet(); }), 0);
}

class ForkTest : public ::testing::Test {
 protected:
  ForkTest() : trace_(empty_trace(50000)) {
    std::vector<SignalValue> values;
    for (std::size_t i = 0; i < 50000; ++i) values.push_back(B(i % 10));
    add_column(*trace_, "top.a", values);
  }
  Expr is_three() const { return Expr::binary(Expr::Kind::Eq, Expr::signal(0), Expr::constant(B(3))); }
  std::unique_ptr<LoadedTrace> trace_;
};

TEST_F(ForkTest, ChildOfAProcessWithAPoolGetsAWorkingPool) {
  ASSERT_EQ(parallel_count(*trace_, is_three()), 5000u);  // the pool exists now
  const int status = run_in_child([&] {
    return parallel_count(*trace_, is_three()) == 5000 && parallel_find(*trace_, is_three()).size() == 5000 &&
           parallel_find(*trace_, is_three()).front() == 3;
  });
  EXPECT_EQ(status, 0);
}

TEST_F(ForkTest, ForkWhileOtherThreadsSearch) {
  if (!kForkSafeAllocator) GTEST_SKIP() << "the sanitizer allocator is not fork-safe";
  // The first round forks while the other threads are still creating the
  // pool, the rest while they keep its queue and locks busy; the child must
  // inherit neither the creation lock nor their state.
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> busy;
  for (int k = 0; k < 3; ++k) {
    busy.emplace_back([&] {
      while (!stop.load()) {
        if (parallel_count(*trace_, is_three()) != 5000) wrong.fetch_add(1);
      }
    });
  }
  for (int round = 0; round < 10; ++round) {
    const int status = run_in_child([&] { return parallel_count(*trace_, is_three()) == 5000; }, 30);
    EXPECT_EQ(status, 0) << "round " << round;
  }
  stop.store(true);
  for (auto& t : busy) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace velk
