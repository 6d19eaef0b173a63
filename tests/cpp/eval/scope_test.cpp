#include "eval/scope.h"

#include <gtest/gtest.h>

#include "eval_test_support.h"

namespace velk {
namespace {

using namespace velk::testing;
using Names = std::vector<std::string>;

std::unique_ptr<LoadedTrace> with(const Names& signals, const Names& scopes = {}) {
  auto trace = empty_trace(1);
  for (const auto& n : signals) trace->add_signal(n, 1);
  for (const auto& s : scopes) trace->scope_tree_.list_path(s);
  return trace;
}

TEST(LocalScopesTest, ChildrenAsFullPathsInFirstAppearanceOrder) {
  const auto trace = with({}, {"top", "top.cpu", "top.cpu.alu", "top.mem", "tb"});
  EXPECT_EQ(local_scopes(*trace, ""), (Names{"top", "tb"}));
  EXPECT_EQ(local_scopes(*trace, "top"), (Names{"top.cpu", "top.mem"}));
  EXPECT_EQ(local_scopes(*trace, "top.cpu"), Names{"top.cpu.alu"});
  EXPECT_TRUE(local_scopes(*trace, "top.cpu.alu").empty());
  EXPECT_TRUE(local_scopes(*trace, "nowhere").empty());
  EXPECT_TRUE(local_scopes(*trace, "to").empty());  // a prefix of a name is not a scope
}

TEST(LocalScopesTest, GrandchildrenNameTheirChildOnce) {
  EXPECT_EQ(local_scopes(*with({}, {"top.cpu.alu"}), "top"), Names{"top.cpu"});
  EXPECT_EQ(local_scopes(*with({}, {"top.cpu.alu", "top.cpu.fpu", "top.cpu"}), "top"), Names{"top.cpu"});
  EXPECT_EQ(local_scopes(*with({}, {"top", "top", "tb"}), ""), (Names{"top", "tb"}));
}

TEST(LocalSignalsTest, OnlyDirectMembers) {
  const auto trace = with({"top.clk", "top.cpu.pc", "topx.y", "rst", "top.data", "clk"});
  EXPECT_EQ(local_signals(*trace, "top"), (Names{"top.clk", "top.data"}));
  EXPECT_EQ(local_signals(*trace, ""), (Names{"rst", "clk"}));
  EXPECT_EQ(local_signals(*trace, "top.cpu"), Names{"top.cpu.pc"});
  EXPECT_TRUE(local_signals(*trace, "nowhere").empty());
}

TEST(ResolveTest, DirectHitThenFirstSuffixMatch) {
  EXPECT_EQ(resolve(*with({"top.cpu.clk", "top.clk"}), "top", "clk"), "top.clk");
  EXPECT_EQ(resolve(*with({"top.cpu.clk", "tb.clk"}), "top", "clk"), "top.cpu.clk");
  EXPECT_EQ(resolve(*with({"tb.clk"}), "", "clk"), "tb.clk");
  EXPECT_EQ(resolve(*with({"clk", "tb.clk"}), "", "clk"), "clk");
  EXPECT_EQ(resolve(*with({"top.clk"}), "top", "lk"), std::nullopt);  // "c" before "lk", not a dot
  EXPECT_EQ(resolve(*with({"tb.clk"}), "top", "clk"), std::nullopt);
  // The scope is a bare text prefix at any depth.
  EXPECT_EQ(resolve(*with({"top.ab.x.sig"}), "top.a", "sig"), "top.ab.x.sig");
  // The short name may itself be dotted.
  EXPECT_EQ(resolve(*with({"top.cpu.alu.out"}), "top", "alu.out"), "top.cpu.alu.out");
}

TEST(ResolveTest, EmptyShortName) {
  EXPECT_EQ(resolve(*with({"top.a", "odd."}), "", ""), "odd.");
  EXPECT_EQ(resolve(*with({"top.a"}), "top", ""), std::nullopt);
}

}  // namespace
}  // namespace velk
