// A hierarchy nested 40,000 scopes deep in a file of a few hundred KB: it
// loads in time and memory linear in its size (each scope is a (parent, name)
// node, never a rebuilt full path), and the scope queries answer from the tree.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "formats/fst/fst_trace.h"
#include "fst_builder.h"

namespace velk::fst {
namespace {

using namespace testing;

TEST(FstDeepHierarchy, FortyThousandLevelsLoadAsATree) {
  constexpr int kDepth = 40000;
  Buf entries;
  for (int i = 0; i < kDepth; ++i) append(entries, scope_entry("s"));
  append(entries, var_entry(16, "leaf", 1));
  for (int i = 0; i < kDepth; ++i) append(entries, upscope_entry());
  Buf f = header_block(0, 0);
  append(f, geometry_block({1}));
  append(f, hierarchy_block(entries));
  const std::string path = ::testing::TempDir() + std::to_string(::getpid()) + "_deep.fst";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));

  const auto loaded = FstTrace::from_file(path);
  std::remove(path.c_str());
  ASSERT_TRUE(loaded.ok()) << loaded.error().message();
  const LoadedTrace& trace = loaded.value();
  const ScopeTree& scopes = trace.scope_tree();
  ASSERT_EQ(scopes.listed().size(), static_cast<std::size_t>(kDepth));
  EXPECT_EQ(scopes.path(scopes.listed().back()).size(), 2u * kDepth - 1);
  EXPECT_EQ(scopes.children_of("s.s"), std::vector<std::string>{"s.s.s"});
  ASSERT_EQ(trace.signal_names().size(), 1u);
  EXPECT_EQ(trace.signal_names()[0].size(), 2u * kDepth + 4);  // "s.s....s.leaf"
}

}  // namespace
}  // namespace velk::fst
