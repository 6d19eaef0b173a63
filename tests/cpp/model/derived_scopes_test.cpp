// Scopes derived from dotted names: the prefix tree against the sorted set of
// prefix strings it replaced, on random names with every kind of dot run.
#include "model/derived_scopes.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace velk {
namespace {

using Names = std::vector<std::string>;

// The reference: every proper dotted prefix of every name as a string,
// sorted by bytes, each once (quadratic in a name's length).
Names reference_scopes(const Names& names) {
  std::set<std::string> scopes;
  for (const auto& name : names) {
    for (std::size_t dot = name.find('.'); dot != std::string::npos; dot = name.find('.', dot + 1)) {
      scopes.emplace(name, 0, dot);
    }
  }
  return {scopes.begin(), scopes.end()};
}

LoadedTrace derived(const Names& names) {
  LoadedTrace trace;
  trace.timestamps = {0};
  for (const auto& name : names) (void)trace.add_signal(name, 1);
  list_derived_scopes(trace);
  return trace;
}

// The same answers as a tree of top-level path texts (how the scopes were
// listed before), for the listing and the one-level queries.
void expect_same_as_reference(const Names& names, const std::string& context) {
  const Names want = reference_scopes(names);
  const LoadedTrace trace = derived(names);
  ASSERT_EQ(trace.scopes(), want) << context;
  ScopeTree flat;
  for (const auto& path : want) flat.list_path(path);
  Names queries = want;
  queries.push_back("");
  for (const std::string& scope : queries) {
    EXPECT_EQ(trace.scope_tree().children_of(scope), flat.children_of(scope)) << context << " scope '" << scope << "'";
  }
}

TEST(DerivedScopes, MatchesTheSortedPrefixesOnRandomNames) {
  std::mt19937 rng(5);
  // '-' and ' ' sort before '.', 'z' after: a sibling can fall between a
  // scope and the scopes below it.
  const std::string alphabet = "ab.-z .";
  for (int round = 0; round < 400; ++round) {
    Names names(1 + rng() % 12);
    for (auto& name : names) {
      const std::size_t length = rng() % 10;
      for (std::size_t i = 0; i < length; ++i) name += alphabet[rng() % alphabet.size()];
    }
    expect_same_as_reference(names, "round " + std::to_string(round));
  }
}

TEST(DerivedScopes, LeadingAndRepeatedDots) {
  expect_same_as_reference({".a.b", "..c", "...", "a..b", "a.", ".", "x.y.z", "x-y.z", "x.y-z.w"}, "dots");
  expect_same_as_reference({"top.cpu.pc", "top.cpu.sp", "top.mem.a", "top.cpu"}, "plain");
  expect_same_as_reference({}, "no names");
}

// A name of 40,000 parts lists 39,999 scopes from a tree of that many nodes;
// the old string set would have held the sum of the prefix lengths (1.6 GB).
TEST(DerivedScopes, DeepNamesCostTheirLength) {
  std::string deep = "s";
  for (int i = 1; i < 40000; ++i) deep += ".s";
  const LoadedTrace trace = derived({deep, std::string(100000, '.')});
  EXPECT_EQ(trace.scope_tree().listed().size(), 39999u + 100000u);
  EXPECT_EQ(trace.scope_tree().path(trace.scope_tree().listed().back()), deep.substr(0, deep.size() - 2));
  EXPECT_EQ(trace.scope_tree().children_of("s.s"), Names{"s.s.s"});
}

}  // namespace
}  // namespace velk
