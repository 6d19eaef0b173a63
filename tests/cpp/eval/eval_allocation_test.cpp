// Evaluation over Bits operands must not allocate: the searches evaluate the
// tree once per index on every core. This binary counts every allocation.
#include <gtest/gtest.h>


#include "eval/expr.h"
#include "eval/find.h"
#include "eval_test_support.h"
#include "support/allocation_count.h"


namespace velk {
namespace {

using namespace velk::testing;
using K = Expr::Kind;

TEST(EvalAllocation, BitsOperandsAndScalarLogicDoNotAllocate) {
  constexpr std::size_t kIndices = 2000;
  auto trace = empty_trace(kIndices);
  std::vector<SignalValue> a, b, x;
  for (std::size_t i = 0; i < kIndices; ++i) {
    a.push_back(B(i % 7));
    b.push_back(B(i % 5));
    x.push_back(i % 3 ? L({kLogicX}) : B(1));
  }
  add_column(*trace, "top.a", a);
  add_column(*trace, "top.b", b);
  add_column(*trace, "top.x", x);
  // (a + 3 == b) and not x[-1] is X, or a[3:1] > b
  const Expr tree = Expr::binary(
      K::Or,
      Expr::binary(K::And,
                   Expr::binary(K::Eq, Expr::binary(K::Add, Expr::signal(0), Expr::constant(B(3))), Expr::signal(1)),
                   Expr::unary(K::Not, Expr::unary(K::IsX, Expr::rel_eval(Expr::signal(2), -1)))),
      Expr::binary(K::Gt, Expr::slice(3, 1, Expr::signal(0)), Expr::signal(1)));

  std::size_t hits = 0;
  const std::size_t before = allocations().calls.load();
  for (std::size_t i = 0; i < kIndices; ++i) {
    hits += eval_bool(*trace, tree, i) ? 1 : 0;
    const SignalValue v = eval(*trace, Expr::signal(0), i);  // a copy of Bits
    hits += v.as_bits() > 100 ? 1 : 0;
  }
  EXPECT_EQ(allocations().calls.load() - before, 0u);
  EXPECT_GT(hits, 0u);

  // A whole search allocates for its set-up (the compiled tree, one block of
  // columns, the run buffers of each leaf) and for its result list, never per
  // index.
  const std::size_t search_before = allocations().calls.load();
  const auto found = find(*trace, tree);
  EXPECT_EQ(found.size(), hits);
  EXPECT_LE(allocations().calls.load() - search_before, 64u);  // far below one per index
}

}  // namespace
}  // namespace velk
