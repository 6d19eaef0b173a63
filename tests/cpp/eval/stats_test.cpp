#include "eval/stats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "eval_test_support.h"

namespace velk {
namespace {

using namespace velk::testing;

void expect_stats(const SignalStats& s, std::uint64_t min, std::uint64_t max, std::uint64_t sum, std::size_t count,
                  std::size_t transitions, std::size_t num_x, std::size_t num_z) {
  EXPECT_EQ(s.min, min);
  EXPECT_EQ(s.max, max);
  EXPECT_EQ(s.sum, sum);
  EXPECT_EQ(s.count, count);
  EXPECT_EQ(s.transitions, transitions);
  EXPECT_EQ(s.num_x, num_x);
  EXPECT_EQ(s.num_z, num_z);
}

TEST(StatsTest, BitsWithAGap) {
  auto trace = empty_trace(4);
  add_column(*trace, "top.a", {B(3), B(3), E(), B(5)});
  expect_stats(compute_stats(*trace, "top.a"), 3, 5, 11, 3, 2, 1, 0);
}

TEST(StatsTest, LogicCountsXAndZBits) {
  auto trace = empty_trace(3);
  add_column(*trace, "top.l", {L({1, 2, 3, 3}), L({1, 2, 3, 3}), L({1, 2, 3, 3})});
  expect_stats(compute_stats(*trace, "top.l"), 0, 0, 0, 0, 0, 3, 6);
}

TEST(StatsTest, UnknownNameIsAllZero) {
  const auto trace = empty_trace(3);
  expect_stats(compute_stats(*trace, "nope"), 0, 0, 0, 0, 0, 0, 0);
}

TEST(StatsTest, SumWraps) {
  auto trace = empty_trace(2);
  add_column(*trace, "top.big", {B(1ull << 63), B(1ull << 63)});
  expect_stats(compute_stats(*trace, "top.big"), 1ull << 63, 1ull << 63, 0, 2, 0, 0, 0);
}

TEST(StatsTest, TransitionsUseValueEquality) {
  auto trace = empty_trace(6);
  const double nan = std::nan("");
  // Bits 1 -> Logic [1] differs, NaN -> NaN differs, equal texts do not.
  add_column(*trace, "top.m", {B(1), L({1}), R(nan), R(nan), S("a"), S("a")});
  expect_stats(compute_stats(*trace, "top.m"), 1, 1, 1, 1, 4, 0, 0);
  add_column(*trace, "top.w", {W({1, 2}), W({1, 2}), W({1, 3}), E(), E(), E()});
  expect_stats(compute_stats(*trace, "top.w"), 0, 0, 0, 0, 2, 3, 0);
}

TEST(StatsTest, TraceWithoutTimestampsVisitsIndexZero) {
  LoadedTrace trace;
  const std::uint32_t id = *trace.add_signal("top.a", 4);
  trace.store.assign_column(id, std::vector<SignalValue>{B(9)});
  expect_stats(compute_stats(trace, "top.a"), 9, 9, 9, 1, 0, 0, 0);
  trace.add_signal("top.never", 1);
  expect_stats(compute_stats(trace, "top.never"), 0, 0, 0, 0, 0, 1, 0);
}

}  // namespace
}  // namespace velk
