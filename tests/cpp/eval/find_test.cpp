#include "eval/find.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <thread>

#include "eval/worker_pool.h"
#include "eval_test_support.h"

namespace velk {
namespace {

using namespace velk::testing;
using K = Expr::Kind;

std::vector<std::size_t> filter_by_eval_bool(const Trace& trace, const Expr& e) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i <= trace.max_index(); ++i) {
    if (eval_bool(trace, e, i)) out.push_back(i);
  }
  return out;
}

// Long enough to be split into many pieces.
std::unique_ptr<LoadedTrace> long_random_trace(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  return random_trace(rng, 20011, 4);
}

std::vector<Expr> random_trees(std::uint64_t seed, int count) {
  std::mt19937_64 rng(seed);
  std::vector<Expr> trees;
  for (int t = 0; t < count; ++t) trees.push_back(random_expr(rng, 4, 1 + static_cast<int>(rng() % 4)));
  // One tree that holds almost everywhere and one that reads neighbours.
  trees.push_back(Expr::unary(K::Not, Expr::binary(K::Eq, Expr::signal(0), Expr::constant(B(3)))));
  trees.push_back(Expr::binary(K::And, Expr::signal(1), Expr::rel_eval(Expr::signal(2), -1)));
  return trees;
}

TEST(FindTest, ParallelFindEqualsFindEqualsFilter) {
  const auto trace = long_random_trace(11);
  std::size_t nonempty = 0;
  for (const Expr& e : random_trees(12, 30)) {
    const auto want = filter_by_eval_bool(*trace, e);
    EXPECT_EQ(find(*trace, e), want);
    EXPECT_EQ(parallel_find(*trace, e), want);
    EXPECT_EQ(parallel_count(*trace, e), want.size());
    nonempty += want.empty() ? 0 : 1;
  }
  EXPECT_GT(nonempty, 5u);  // the trees are not all trivially false
}

TEST(FindTest, TraceWithoutTimestampsStillEvaluatesIndexZero) {
  const LoadedTrace trace;
  const std::vector<std::size_t> zero{0};
  EXPECT_EQ(find(trace, Expr::always_true()), zero);
  EXPECT_EQ(parallel_find(trace, Expr::always_true()), zero);
  EXPECT_EQ(parallel_count(trace, Expr::always_true()), 1u);
  EXPECT_EQ(find(trace, Expr::unary(K::IsX, Expr::signal(0))), zero);
  EXPECT_TRUE(parallel_find(trace, Expr::signal(0)).empty());
  EXPECT_EQ(parallel_count(trace, Expr::signal(0)), 0u);
}

TEST(FindTest, ConcurrentCallersGetIdenticalResults) {
  const auto trace = long_random_trace(21);
  const auto trees = random_trees(22, 6);
  std::vector<std::vector<std::size_t>> want;
  for (const Expr& e : trees) want.push_back(find(*trace, e));
  std::vector<int> mismatches(8, 0);
  std::vector<std::thread> callers;
  for (int k = 0; k < 8; ++k) {
    callers.emplace_back([&, k] {
      for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t t = 0; t < trees.size(); ++t) {
          if (parallel_find(*trace, trees[t]) != want[t]) ++mismatches[k];
          if (parallel_count(*trace, trees[t]) != want[t].size()) ++mismatches[k];
        }
      }
    });
  }
  for (auto& c : callers) c.join();
  for (int k = 0; k < 8; ++k) EXPECT_EQ(mismatches[k], 0) << "caller " << k;
}

// The pool can only be sized once per process, so each thread count is tried
// in a forked child that reads RAYON_NUM_THREADS when it builds its pool.
TEST(FindTest, ThreadCountsOneAndSevenGiveIdenticalResults) {
  // The parent's pool threads may still be freeing a search's state when
  // the child is forked.
  if (!kForkSafeAllocator) GTEST_SKIP() << "the sanitizer allocator is not fork-safe";
  const auto trace = long_random_trace(31);
  const auto trees = random_trees(32, 8);
  std::vector<std::vector<std::size_t>> want;
  for (const Expr& e : trees) want.push_back(find(*trace, e));
  const std::size_t changes_at_5 = changed_at(*trace, 5).size();  // also builds the parent's pool
  for (const char* threads : {"1", "7"}) {
    const int status = run_in_child([&] {
      setenv("RAYON_NUM_THREADS", threads, 1);
      if (WorkerPool::instance().size() != std::strtoul(threads, nullptr, 10)) return false;
      for (std::size_t t = 0; t < trees.size(); ++t) {
        if (parallel_find(*trace, trees[t]) != want[t]) return false;
        if (parallel_count(*trace, trees[t]) != want[t].size()) return false;
      }
      return changed_at(*trace, 5).size() == changes_at_5;
    });
    EXPECT_EQ(status, 0) << "RAYON_NUM_THREADS=" << threads;
  }
}

TEST(TransitionsTest, ReportsChangesFromIndexOne) {
  auto trace = empty_trace(6);
  add_column(*trace, "top.a", {B(1), B(1), B(0), B(0), L({1, 2}), L({1, 2})});
  add_column(*trace, "top.late", {E(), E(), E(), B(4), B(4), R(std::nan(""))});
  add_column(*trace, "top.const", {B(7), B(7), B(7), B(7), B(7), B(7)});
  add_column(*trace, "top.nan", {R(std::nan("")), R(std::nan(""))});

  const auto a = transitions(*trace, "top.a");
  ASSERT_EQ(a.size(), 2u);
  EXPECT_EQ(a[0].index, 2u);
  EXPECT_EQ(a[0].old_value, B(1));
  EXPECT_EQ(a[0].new_value, B(0));
  EXPECT_EQ(a[1].index, 4u);
  EXPECT_EQ(a[1].new_value, L({1, 2}));

  const auto late = transitions(*trace, "top.late");
  ASSERT_EQ(late.size(), 2u);
  EXPECT_EQ(late[0].index, 3u);
  EXPECT_TRUE(late[0].old_value.is_empty());
  EXPECT_EQ(late[1].index, 5u);

  EXPECT_TRUE(transitions(*trace, "top.const").empty());
  EXPECT_TRUE(transitions(*trace, "top.missing").empty());
  // NaN never equals NaN; then the data ends (Empty) at index 2.
  const auto nan = transitions(*trace, "top.nan");
  ASSERT_EQ(nan.size(), 2u);
  EXPECT_EQ(nan[0].index, 1u);
  EXPECT_EQ(nan[1].index, 2u);
  EXPECT_TRUE(nan[1].new_value.is_empty());
}

TEST(TransitionsTest, SingleIndexTraceHasNone) {
  auto trace = empty_trace(1);
  add_column(*trace, "top.a", {B(1)});
  EXPECT_TRUE(transitions(*trace, "top.a").empty());
}

class ChangedAtTest : public ::testing::Test {
 protected:
  ChangedAtTest() : trace_(empty_trace(3)) {
    add_column(*trace_, "top.a", {B(0), B(1), B(1)});
    add_column(*trace_, "top.sub.b", {B(5), L({1, 0, 1}), L({1, 0, 1})});  // Bits 5 differs from Logic 101
    add_column(*trace_, "topx.c", {S("a"), S("b"), S("b")});
    add_column(*trace_, "top", {B(0), B(1), B(1)});
    add_column(*trace_, "top.gone", {B(3), E(), E()});
    add_column(*trace_, "top.same", {B(2), B(2), B(3)});
    // An alias: a second name for the id of top.a.
    trace_->signals.append("top.alias", {0, 1});
    // A listed name without an id is skipped.
    trace_->signals.list_only("top.ghost");
  }

  static std::vector<std::string> names(const std::vector<Change>& changes) {
    std::vector<std::string> out;
    for (const auto& c : changes) out.push_back(c.name);
    return out;
  }

  std::unique_ptr<LoadedTrace> trace_;
};

TEST_F(ChangedAtTest, ListsChangedSignalsInNameOrder) {
  const auto changes = changed_at(*trace_, 1);
  EXPECT_EQ(names(changes),
            (std::vector<std::string>{"top.a", "top.sub.b", "topx.c", "top", "top.gone", "top.alias"}));
  EXPECT_EQ(changes[1].old_value, B(5));
  EXPECT_EQ(changes[1].new_value, L({1, 0, 1}));
  EXPECT_TRUE(changes[4].new_value.is_empty());
  EXPECT_EQ(names(changed_at(*trace_, 2)), std::vector<std::string>{"top.same"});
}

TEST_F(ChangedAtTest, IndexZeroAndPastTheEndAreQuiet) {
  EXPECT_TRUE(changed_at(*trace_, 0).empty());
  EXPECT_TRUE(changed_at_scope(*trace_, 0, "top").empty());
  EXPECT_TRUE(changed_at(*trace_, 50).empty());
}

TEST_F(ChangedAtTest, ScopeCoversEveryDepthButNotSiblingsOrItself) {
  EXPECT_EQ(names(changed_at_scope(*trace_, 1, "top")),
            (std::vector<std::string>{"top.a", "top.sub.b", "top.gone", "top.alias"}));
  EXPECT_EQ(names(changed_at_scope(*trace_, 1, "top.sub")), std::vector<std::string>{"top.sub.b"});
  EXPECT_TRUE(changed_at_scope(*trace_, 1, "top.s").empty());
  EXPECT_TRUE(changed_at_scope(*trace_, 1, "nowhere").empty());
}

// changed_at looks for a stored change first: it must still agree with
// comparing the values at index - 1 and index, NaN runs (unequal to
// themselves at every index) and 0.0 after -0.0 (equal, though stored apart)
// included, on random and on quiet signals.
TEST(ChangedAtManyTest, MatchesComparingNeighbouringValues) {
  std::mt19937_64 rng(77);
  auto trace = empty_trace(400);
  ColumnBuilder columns;
  for (std::size_t s = 0; s < 60; ++s) {
    const std::uint32_t id = *trace->add_signal("top.s" + std::to_string(s), 8);
    const std::size_t every = s % 3 == 0 ? 1 : 1 + rng() % 40;  // busy and quiet signals
    for (std::size_t i = 0; i < 400; i += every) {
      const unsigned pick = static_cast<unsigned>(rng() % 6);
      columns.record(id, i,
                     pick == 0   ? R(std::nan(""))
                     : pick == 1 ? R(rng() % 2 ? 0.0 : -0.0)
                                 : random_value(rng));
    }
  }
  columns.build_into(trace->store, 400, ColumnBuilder::Fill::AfterChanges);
  for (std::size_t index = 0; index <= 401; ++index) {
    std::vector<std::string> want;
    for (const std::string_view name : trace->signal_names()) {
      const auto id = *trace->signal_id(name);
      if (index > 0 && !(trace->value_at(id, index) == trace->value_at(id, index - 1))) want.emplace_back(name);
    }
    std::vector<std::string> got;
    for (const auto& c : changed_at(*trace, index)) {
      got.push_back(c.name);
      const auto id = *trace->signal_id(c.name);
      EXPECT_TRUE(same(c.old_value, trace->value_at(id, index - 1)) && same(c.new_value, trace->value_at(id, index)))
          << c.name << " at " << index;
    }
    EXPECT_EQ(got, want) << "index " << index;
  }
}

TEST(ChangedAtManyTest, OrderIsKeptAcrossPieces) {
  // Enough names to be split over the pool; every third one changes.
  auto trace = empty_trace(2);
  std::vector<std::string> want;
  for (int s = 0; s < 5000; ++s) {
    const std::string name = "top.g" + std::to_string(s % 7) + ".s" + std::to_string(s);
    add_column(*trace, name, {B(0), B(s % 3 == 0 ? 1 : 0)});
    if (s % 3 == 0) want.push_back(name);
  }
  std::vector<std::string> got;
  for (const auto& c : changed_at(*trace, 1)) got.push_back(c.name);
  EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace velk
