#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "model/scope_tree.h"

namespace velk {
namespace {

using Names = std::vector<std::string>;

// The text model the tree replaced: every scope kept as its full path, each
// distinct path listed once, children found by scanning the paths.
struct PathList {
  Names paths;
  void add(const std::string& path) {
    if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
  }
  Names children_of(const std::string& scope) const {
    Names out;
    const auto add_unique = [&](std::string text) {
      if (std::find(out.begin(), out.end(), text) == out.end()) out.push_back(std::move(text));
    };
    if (scope.empty()) {
      for (const auto& p : paths) {
        if (p.find('.') == std::string::npos) add_unique(p);
      }
      return out;
    }
    const std::string prefix = scope + '.';
    for (const auto& p : paths) {
      if (p.compare(0, prefix.size(), prefix) != 0 || p.size() < prefix.size()) continue;
      const std::string rest = p.substr(prefix.size());
      add_unique(prefix + rest.substr(0, rest.find('.')));
    }
    return out;
  }
};

// A path joined as the hierarchy readers join it: a dot only after a non-empty text.
std::string joined(const Names& stack) {
  std::string path;
  for (const auto& part : stack) {
    if (!path.empty()) path += '.';
    path += part;
  }
  return path;
}

// Random hierarchies walked as a reader walks them (enter, leave, re-enter
// the same names), with names that contain dots or are empty, against the
// text model: same listing, same children for every query.
TEST(ScopeTree, MatchesThePathTextModel) {
  static const char* kNames[] = {"a", "b", "a.b", "", "ab", "b.", ".a", "c"};
  std::mt19937 rng(7);
  for (int round = 0; round < 500; ++round) {
    ScopeTree tree;
    PathList model;
    Names stack;
    std::vector<std::uint32_t> ids;
    for (int step = 0, n = static_cast<int>(rng() % 40); step < n; ++step) {
      if (rng() % 3 == 0 && !stack.empty()) {
        stack.pop_back();
        ids.pop_back();
        continue;
      }
      const std::string name = kNames[rng() % 8];
      ids.push_back(tree.enter(ids.empty() ? ScopeTree::kRoot : ids.back(), name));
      stack.push_back(name);
      model.add(joined(stack));
      ASSERT_EQ(tree.path(ids.back()), joined(stack));
    }
    ASSERT_EQ(tree.paths(), model.paths) << round;
    Names queries = {"", "a", "b", "a.b", "a.b.", "x", "."};
    for (const auto& p : model.paths) queries.push_back(p);
    for (const auto& q : queries) ASSERT_EQ(tree.children_of(q), model.children_of(q)) << round << " '" << q << "'";
  }
}

TEST(ScopeTree, ListedPathsKeepRepeatsAndReadAsText) {
  ScopeTree tree;
  for (const char* p : {"top", "u_core", "top", "top.cpu.alu", "top.cpu"}) tree.list_path(p);
  EXPECT_EQ(tree.paths(), (Names{"top", "u_core", "top", "top.cpu.alu", "top.cpu"}));
  EXPECT_EQ(tree.children_of(""), (Names{"top", "u_core"}));
  EXPECT_EQ(tree.children_of("top"), (Names{"top.cpu"}));
}

// A hierarchy 40,000 deep costs memory per scope, not per path character.
TEST(ScopeTree, DeepNestingStaysLinear) {
  ScopeTree tree;
  std::uint32_t at = ScopeTree::kRoot;
  for (int depth = 0; depth < 40000; ++depth) at = tree.enter(at, "s");
  EXPECT_EQ(tree.size(), 40000u);
  EXPECT_EQ(tree.listed().size(), 40000u);
  EXPECT_EQ(tree.path(at).size(), 2u * 40000 - 1);
  EXPECT_EQ(tree.children_of(""), Names{"s"});
  EXPECT_EQ(tree.children_of("s.s"), Names{"s.s.s"});
  EXPECT_EQ(tree.enter(ScopeTree::kRoot, "s"), 0u);  // an existing scope is found, not added
}

}  // namespace
}  // namespace velk
