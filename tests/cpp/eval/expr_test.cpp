#include "eval/expr.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>
#include <thread>

#include "eval_test_support.h"

namespace velk {
namespace {

using namespace velk::testing;
using K = Expr::Kind;

Expr C(SignalValue v) { return Expr::constant(std::move(v)); }
Expr bin(K kind, SignalValue a, SignalValue b) { return Expr::binary(kind, C(std::move(a)), C(std::move(b))); }

class ExprEdgeTest : public ::testing::Test {
 protected:
  // Signal 0 takes the values 10, 11, 12 at indices 0..2.
  ExprEdgeTest() : trace_(empty_trace(3)) { add_column(*trace_, "top.a", {B(10), B(11), B(12)}); }

  SignalValue ev(const Expr& e, std::size_t index = 0) const { return eval(*trace_, e, index); }
  bool ev_bool(const Expr& e, std::size_t index = 0) const { return eval_bool(*trace_, e, index); }

  std::unique_ptr<LoadedTrace> trace_;
};

TEST(TruthValueTest, FollowsEachVariant) {
  EXPECT_FALSE(truth_value(B(0)));
  EXPECT_TRUE(truth_value(B(2)));
  EXPECT_FALSE(truth_value(W({0, 0})));
  EXPECT_TRUE(truth_value(W({0, 4})));
  EXPECT_FALSE(truth_value(W({})));
  EXPECT_FALSE(truth_value(L({0, 2, 3})));  // X and Z never make it true
  EXPECT_TRUE(truth_value(L({2, 1})));
  EXPECT_FALSE(truth_value(R(0.0)));
  EXPECT_FALSE(truth_value(R(-0.0)));
  EXPECT_TRUE(truth_value(R(std::nan(""))));
  EXPECT_TRUE(truth_value(R(0.5)));
  EXPECT_FALSE(truth_value(S("")));
  EXPECT_TRUE(truth_value(S("0")));
  EXPECT_FALSE(truth_value(E()));
}

TEST_F(ExprEdgeTest, SignalPastTheDataIsEmpty) {
  EXPECT_EQ(ev(Expr::signal(0), 1), B(11));
  EXPECT_TRUE(ev(Expr::signal(7)).is_empty());
  EXPECT_TRUE(ev(Expr::signal(0), 3).is_empty());
  EXPECT_FALSE(ev_bool(Expr::signal(7)));
  EXPECT_EQ(ev(Expr::unary(K::Not, Expr::signal(7))), B(1));
}

TEST_F(ExprEdgeTest, RelEvalStaysWithinTheIndices) {
  const Expr prev = Expr::rel_eval(Expr::signal(0), -1);
  const Expr next = Expr::rel_eval(Expr::signal(0), 1);
  EXPECT_TRUE(ev(prev, 0).is_empty());
  EXPECT_EQ(ev(prev, 2), B(11));
  EXPECT_EQ(ev(next, 1), B(12));
  EXPECT_TRUE(ev(next, 2).is_empty());
  EXPECT_EQ(ev(Expr::rel_eval(Expr::signal(0), 0), 1), B(11));
  // Offsets near the ends of the signed range neither wrap nor crash.
  EXPECT_TRUE(ev(Expr::rel_eval(Expr::signal(0), INT64_MAX), 2).is_empty());
  EXPECT_TRUE(ev(Expr::rel_eval(Expr::signal(0), INT64_MIN), 2).is_empty());
  // The bounds are the trace's indices, not the signal's data.
  EXPECT_EQ(ev(Expr::rel_eval(Expr::always_true(), 2), 0), B(1));
  EXPECT_TRUE(ev(Expr::rel_eval(Expr::always_true(), 3), 0).is_empty());
}

TEST_F(ExprEdgeTest, EqUsesValueEqualityThenNumericReadings) {
  EXPECT_EQ(ev(bin(K::Eq, E(), E())), B(1));
  EXPECT_EQ(ev(bin(K::Eq, E(), B(0))), B(0));
  EXPECT_EQ(ev(bin(K::Neq, E(), B(0))), B(1));
  EXPECT_EQ(ev(bin(K::Eq, B(5), R(5.0))), B(1));
  EXPECT_EQ(ev(bin(K::Eq, B(5), S("5"))), B(1));
  EXPECT_EQ(ev(bin(K::Eq, B(5), L({1, 0, 1}))), B(1));
  EXPECT_EQ(ev(bin(K::Eq, B(5), R(5.7))), B(1));
  EXPECT_EQ(ev(bin(K::Eq, R(5.5), R(5.2))), B(1));
  EXPECT_EQ(ev(bin(K::Eq, S("5"), S("05"))), B(1));
  EXPECT_EQ(ev(bin(K::Eq, L({1, 2}), L({1, 2}))), B(1));
  EXPECT_EQ(ev(bin(K::Eq, L({1, 2}), L({2, 1}))), B(0));
  EXPECT_EQ(ev(bin(K::Eq, S("abc"), S("abc"))), B(1));
  EXPECT_EQ(ev(bin(K::Eq, S("abc"), S("abd"))), B(0));
  // NaN differs from itself as a value but both read as 0.
  EXPECT_EQ(ev(bin(K::Eq, R(std::nan("")), R(std::nan("")))), B(1));
  EXPECT_EQ(ev(bin(K::Eq, W({}), W({}))), B(1));
  EXPECT_EQ(ev(bin(K::Eq, W({}), B(0))), B(0));
}

TEST_F(ExprEdgeTest, ComparisonsNeedTwoNumericReadings) {
  EXPECT_EQ(ev(bin(K::Gt, R(5.9), B(5))), B(0));
  EXPECT_EQ(ev(bin(K::Gte, R(5.9), B(5))), B(1));
  EXPECT_EQ(ev(bin(K::Lt, B(1), B(UINT64_MAX))), B(1));  // unsigned
  EXPECT_EQ(ev(bin(K::Lte, B(2), B(2))), B(1));
  const Expr x_gt = bin(K::Gt, L({1, 2}), B(0));
  EXPECT_TRUE(ev(x_gt).is_empty());
  EXPECT_FALSE(ev_bool(x_gt));
  EXPECT_EQ(ev(Expr::unary(K::Not, x_gt)), B(1));
  EXPECT_TRUE(ev(bin(K::Lt, B(1), S("one"))).is_empty());
  EXPECT_TRUE(ev(bin(K::Lte, E(), B(1))).is_empty());
}

TEST_F(ExprEdgeTest, ArithmeticWrapsAndBitwiseUsesReadings) {
  EXPECT_EQ(ev(bin(K::Sub, B(3), B(5))), B(UINT64_MAX - 1));
  EXPECT_EQ(ev(bin(K::Add, B(UINT64_MAX), B(2))), B(1));
  EXPECT_EQ(ev(bin(K::Add, S("+40"), R(2.9))), B(42));
  EXPECT_TRUE(ev(bin(K::Add, W({}), B(1))).is_empty());
  EXPECT_EQ(ev(bin(K::BitAnd, B(0xC), L({1, 0, 1, 0}))), B(0x8));
  EXPECT_EQ(ev(bin(K::BitOr, B(0xC), B(0x3))), B(0xF));
  EXPECT_EQ(ev(bin(K::BitXor, B(0xF), W({0x5, 0x99}))), B(0xA));
  EXPECT_TRUE(ev(bin(K::BitXor, B(0xF), L({3}))).is_empty());
}

TEST_F(ExprEdgeTest, SliceShiftsModulo64AndMasks) {
  EXPECT_EQ(ev(Expr::slice(7, 4, C(B(0xAB)))), B(0xA));
  EXPECT_EQ(ev(Expr::slice(3, 5, C(B(0xAB)))), B(0));
  EXPECT_EQ(ev(Expr::slice(63, 0, C(B(0xDEADBEEFCAFEF00D)))), B(0xDEADBEEFCAFEF00D));
  EXPECT_EQ(ev(Expr::slice(70, 66, C(B(0xFF)))), B(0x1F));  // shift 2, keep 5 bits
  EXPECT_EQ(ev(Expr::slice(UINT32_MAX, 0, C(B(UINT64_MAX)))), B(UINT64_MAX));
  EXPECT_EQ(ev(Expr::slice(64, 1, C(B(0x8000000000000001)))), B(0x4000000000000000));
  EXPECT_EQ(ev(Expr::slice(0, 0, C(B(3)))), B(1));
  EXPECT_EQ(ev(Expr::slice(62, 0, C(B(UINT64_MAX)))), B(UINT64_MAX >> 1));  // 63 bits: still masked
  EXPECT_TRUE(ev(Expr::slice(3, 0, C(L({1, 3})))).is_empty());
  EXPECT_TRUE(ev(Expr::slice(3, 5, C(E()))).is_empty());  // no reading wins over high < low
}

TEST_F(ExprEdgeTest, SignedIsTheNumericReading) {
  EXPECT_EQ(ev(Expr::unary(K::Signed, C(L({1, 1, 1})))), B(7));
  EXPECT_EQ(ev(Expr::unary(K::Signed, C(R(-2.0)))), B(0));
  EXPECT_TRUE(ev(Expr::unary(K::Signed, C(S("x")))).is_empty());
}

TEST_F(ExprEdgeTest, IsXAndIsZ) {
  EXPECT_EQ(ev(Expr::unary(K::IsX, C(E()))), B(1));
  EXPECT_EQ(ev(Expr::unary(K::IsX, C(L({1, 3})))), B(0));
  EXPECT_EQ(ev(Expr::unary(K::IsZ, C(L({1, 3})))), B(1));
  EXPECT_EQ(ev(Expr::unary(K::IsX, C(L({2, 0})))), B(1));
  EXPECT_EQ(ev(Expr::unary(K::IsZ, C(E()))), B(0));
  EXPECT_EQ(ev(Expr::unary(K::IsX, C(S("x")))), B(0));
  EXPECT_EQ(ev(Expr::unary(K::IsX, Expr::signal(0)), 5), B(1));  // past the data
}

TEST_F(ExprEdgeTest, AndOrNotGiveBits) {
  EXPECT_EQ(ev(bin(K::And, S("a"), R(std::nan("")))), B(1));
  EXPECT_EQ(ev(bin(K::And, S("a"), S(""))), B(0));
  EXPECT_EQ(ev(bin(K::Or, E(), L({2, 1}))), B(1));
  EXPECT_EQ(ev(bin(K::Or, E(), L({2, 3}))), B(0));
  EXPECT_EQ(ev(Expr::unary(K::Not, C(W({0, 1})))), B(0));
  EXPECT_EQ(ev(Expr::always_true()), B(1));
}

TEST_F(ExprEdgeTest, EvalBoolOfLeaves) {
  EXPECT_TRUE(ev_bool(C(R(std::nan("")))));
  EXPECT_FALSE(ev_bool(C(S(""))));
  EXPECT_TRUE(ev_bool(Expr::signal(0)));
  EXPECT_EQ(ev(C(L({1, 2}))), L({1, 2}));
  EXPECT_EQ(ev(C(S("hello"))), S("hello"));
}

TEST(ExprTreeTest, CopiesShareChildrenButBehaveAsIndependentValues) {
  Expr a = Expr::binary(K::Add, Expr::signal(1), Expr::constant(S("7")));
  Expr b = a;
  EXPECT_EQ(b.kind(), K::Add);
  EXPECT_EQ(&a.left(), &b.left());  // shared, not copied
  EXPECT_EQ(b.right().value(), S("7"));
  a = Expr::always_true();  // replacing the original leaves the copy intact
  EXPECT_EQ(b.left().signal_id(), 1u);
  Expr c = std::move(b);
  EXPECT_EQ(c.size(), 3u);
  c = c;  // self-assignment keeps the tree
  EXPECT_EQ(c.size(), 3u);
  const Expr s = Expr::slice(9, 2, Expr::rel_eval(Expr::signal(4), -5));
  EXPECT_EQ(s.high(), 9u);
  EXPECT_EQ(s.low(), 2u);
  EXPECT_EQ(s.child().offset(), -5);
}

TEST(ExprRandomTest, MatchesTheReferenceEvaluator) {
  std::mt19937_64 rng(20240611);
  std::size_t checked = 0;
  for (int round = 0; round < 40; ++round) {
    const auto trace = random_trace(rng, 1 + rng() % 40, 4);
    for (int t = 0; t < 50; ++t) {
      const Expr e = random_expr(rng, 4, 1 + static_cast<int>(rng() % 4));
      // Indices past the end are evaluated too.
      for (std::size_t i = 0; i <= trace->max_index() + 2; ++i) {
        const SignalValue want = reference(*trace, e, i);
        ASSERT_TRUE(same(eval(*trace, e, i), want)) << "round " << round << " tree " << t << " index " << i;
        ASSERT_EQ(eval_bool(*trace, e, i), truth_value(want)) << "round " << round << " tree " << t;
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 10000u);
}

TEST(ExprRandomTest, ConcurrentEvaluationOfOneTreeAgrees) {
  std::mt19937_64 rng(7);
  const auto trace = random_trace(rng, 300, 5);
  std::vector<Expr> trees;
  for (int t = 0; t < 20; ++t) trees.push_back(random_expr(rng, 5, 4));
  std::vector<std::vector<bool>> want(trees.size());
  for (std::size_t t = 0; t < trees.size(); ++t) {
    for (std::size_t i = 0; i <= trace->max_index(); ++i) want[t].push_back(eval_bool(*trace, trees[t], i));
  }
  std::vector<int> mismatches(8, 0);
  std::vector<std::thread> threads;
  for (int k = 0; k < 8; ++k) {
    threads.emplace_back([&, k] {
      for (int pass = 0; pass < 5; ++pass) {
        for (std::size_t t = 0; t < trees.size(); ++t) {
          for (std::size_t i = 0; i <= trace->max_index(); ++i) {
            if (eval_bool(*trace, trees[t], i) != want[t][i]) ++mismatches[k];
          }
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int k = 0; k < 8; ++k) EXPECT_EQ(mismatches[k], 0) << "thread " << k;
}

}  // namespace
}  // namespace velk
