#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "formats/vcd/vcd_trace.h"

namespace velk {
namespace {

std::filesystem::path temp_file(const std::string& name) {
  return std::filesystem::temp_directory_path() / ("velk_vcd_" + std::to_string(::getpid()) + "_" + name);
}

void expect_same(const LoadedTrace& a, const LoadedTrace& b) {
  ASSERT_EQ(a.signal_names().size(), b.signal_names().size());
  ASSERT_EQ(a.max_index(), b.max_index());
  for (std::size_t i = 0; i < a.signal_names().size(); ++i) {
    const std::string_view name = a.signal_names()[i];
    ASSERT_EQ(name, b.signal_names()[i]);
    for (std::size_t k = 0; k <= a.max_index(); ++k) {
      ASSERT_EQ(a.signal_value(name, k), b.signal_value(name, k)) << name << " @" << k;
    }
  }
  for (std::size_t k = 0; k <= a.max_index(); ++k) ASSERT_EQ(a.timestamp(k), b.timestamp(k));
}

// Lines of every length cross the read buffer's edges, CRLF pairs included.
TEST(VcdTrace, FileStreamingMatchesInMemoryParse) {
  std::mt19937 rng(11);
  std::string text = "$scope module t $end\n$var wire 1 ! a $end\r\n$var wire 200 \" v $end\n$upscope $end\n";
  std::uint64_t time = 0;
  while (text.size() < 3 * (1u << 20)) {
    text += "#" + std::to_string(time += 1 + rng() % 5) + (rng() % 2 ? "\r\n" : "\n");
    text += (rng() % 2 ? "1!" : "0!");
    text += "\r\n";
    std::string bits(1 + rng() % 200, '0');
    for (auto& c : bits) c = "01xz"[rng() % 4];
    text += "b" + bits + " \"\n";
  }
  const auto path = temp_file("stream.vcd");
  std::ofstream(path, std::ios::binary) << text;
  const auto loaded = VcdTrace::from_file(path.string());
  std::filesystem::remove(path);
  ASSERT_TRUE(loaded.ok());
  const LoadedTrace parsed = VcdTrace::parse(text);
  EXPECT_GT(parsed.max_index(), 20000u);
  expect_same(loaded.value(), parsed);
}

TEST(VcdTrace, OpenFailureMessage) {
  const auto path = temp_file("does_not_exist.vcd").string();
  const auto loaded = VcdTrace::from_file(path);
  ASSERT_FALSE(loaded.ok());
  EXPECT_EQ(loaded.error().message(), "Failed to open " + path + ": No such file or directory (os error 2)");
}

TEST(VcdTrace, TraceOperationsOnUnknownNames) {
  const LoadedTrace trace = VcdTrace::parse("$var wire 3 ! a $end\n#0\nb101 !\n");
  EXPECT_EQ(trace.signal_width("a"), 3u);
  EXPECT_EQ(trace.signal_width("b"), 0u);
  EXPECT_EQ(trace.signal_id("b"), std::nullopt);
  EXPECT_TRUE(trace.signal_value("b", 0).is_empty());
  EXPECT_EQ(trace.signal_values_range("b", 2, 5).size(), 3u);
  EXPECT_TRUE(trace.signal_values_range("b", 5, 2).empty());
  EXPECT_EQ(trace.signal_value_by_id(0, 0), SignalValue::bits(5));
  EXPECT_TRUE(trace.signal_value_by_id(9, 0).is_empty());
  EXPECT_EQ(trace.timestamp(1), 0u);
}

TEST(VcdTrace, LastChangeAtAnIndexWins) {
  const LoadedTrace trace = VcdTrace::parse("$var wire 1 ! a $end\n#0\n1!\n0!\nz!\n#1\nx!\n1!\n");
  EXPECT_EQ(trace.signal_value("a", 0).tag(), SignalValue::Tag::Logic);
  EXPECT_EQ(trace.signal_value("a", 1), SignalValue::bits(1));
}

}  // namespace
}  // namespace velk
