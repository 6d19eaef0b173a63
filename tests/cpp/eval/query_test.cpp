#include "eval/query.h"

#include <gtest/gtest.h>

#include <random>

#include "eval_test_support.h"

namespace velk {
namespace {

using namespace velk::testing;
using K = Expr::Kind;

TEST(FindWithValuesTest, RowsMatchPerIndexEvaluationAndReads) {
  std::mt19937_64 rng(8);
  const auto trace = random_trace(rng, 3000, 3);
  const std::vector<std::string> names{"top.s1", "top.missing", "top.s0", "top.s1"};
  for (int t = 0; t < 10; ++t) {
    const Expr e = random_expr(rng, 3, 3);
    const auto rows = find_with_values(*trace, e, names);
    std::size_t r = 0;
    for (std::size_t i = 0; i <= trace->max_index(); ++i) {
      if (!truth_value(reference(*trace, e, i))) continue;
      ASSERT_LT(r, rows.size());
      EXPECT_EQ(rows[r].index, i);
      ASSERT_EQ(rows[r].values.size(), 4u);
      EXPECT_TRUE(same(rows[r].values[0], trace->signal_value("top.s1", i)));
      EXPECT_TRUE(rows[r].values[1].is_empty());  // unknown name
      EXPECT_TRUE(same(rows[r].values[2], trace->signal_value("top.s0", i)));
      EXPECT_TRUE(same(rows[r].values[3], rows[r].values[0]));
      ++r;
    }
    EXPECT_EQ(r, rows.size());
  }
  const auto no_names = find_with_values(*trace, Expr::always_true(), {});
  ASSERT_EQ(no_names.size(), trace->max_index() + 1);
  EXPECT_TRUE(no_names.back().values.empty());
}

TEST(SnapshotTest, PrefixSelectsNamesAtAnyDepthInNameOrder) {
  auto trace = empty_trace(2);
  add_column(*trace, "top.a", {B(1), B(2)});
  add_column(*trace, "topx.b", {B(3), B(4)});
  add_column(*trace, "top.sub.c", {S("x"), E()});
  trace->signals.list_only("top.ghost");  // listed without an id: skipped
  const auto all = snapshot(*trace, 1, "");
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].name, "top.a");
  EXPECT_EQ(all[0].value, B(2));
  const auto top = snapshot(*trace, 0, "top.");
  ASSERT_EQ(top.size(), 2u);
  EXPECT_EQ(top[0].name, "a");
  EXPECT_EQ(top[1].name, "sub.c");
  EXPECT_EQ(top[1].value, S("x"));
  EXPECT_TRUE(snapshot(*trace, 0, "none.").empty());
  EXPECT_TRUE(snapshot(*trace, 9, "top.")[0].value.is_empty());  // past the data
}

}  // namespace
}  // namespace velk
