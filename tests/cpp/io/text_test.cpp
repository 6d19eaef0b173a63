#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "io/text.h"

namespace velk {
namespace {

std::vector<std::string> tokens_of(std::string_view s) {
  std::vector<std::string> out;
  Tokens t(s);
  while (auto tok = t.next()) out.emplace_back(*tok);
  return out;
}

TEST(Text, Utf8Validation) {
  EXPECT_TRUE(is_valid_utf8("plain ascii text, long enough for the word loop"));
  EXPECT_TRUE(is_valid_utf8("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"));
  EXPECT_FALSE(is_valid_utf8("\xC3"));
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));          // overlong
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // past U+10FFFF
  EXPECT_FALSE(is_valid_utf8("abcdefgh\xFF"));
  EXPECT_TRUE(is_valid_utf8(std::string_view("a\0b", 3)));
}

TEST(Text, UnicodeWhitespace) {
  EXPECT_EQ(trim("\t x \r\v\f"), "x");
  EXPECT_EQ(trim("\xC2\xA0x\xE3\x80\x80"), "x");     // U+00A0, U+3000
  EXPECT_EQ(trim("\xE2\x80\x8Bx"), "\xE2\x80\x8Bx");  // U+200B is not white space
  EXPECT_EQ(trim("\x1Cx"), "\x1Cx");
  EXPECT_EQ(tokens_of("$var  wire\t8\xE2\x80\x83#  d "), (std::vector<std::string>{"$var", "wire", "8", "#", "d"}));
  EXPECT_TRUE(tokens_of(" \t ").empty());
}

TEST(Text, Numbers) {
  EXPECT_EQ(parse_u64("+7"), 7u);
  EXPECT_EQ(parse_u64("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(parse_u64("18446744073709551616"), std::nullopt);
  EXPECT_EQ(parse_u64("-0"), std::nullopt);
  EXPECT_EQ(parse_u64("+"), std::nullopt);
  EXPECT_EQ(parse_u64("1 "), std::nullopt);
  EXPECT_EQ(parse_u32("4294967296"), std::nullopt);
  EXPECT_EQ(parse_f64("1.5e3"), 1500.0);
  EXPECT_EQ(parse_f64("-.5"), -0.5);
  EXPECT_EQ(parse_f64("1."), 1.0);
  EXPECT_EQ(parse_f64("+InFiNiTy"), INFINITY);
  EXPECT_TRUE(std::isnan(*parse_f64("NaN")));
  EXPECT_EQ(parse_f64("1e999"), INFINITY);
  EXPECT_EQ(parse_f64("1e-999"), 0.0);
  for (const char* bad : {"", ".", "e5", "1e", "0x10", "abc", "1.5.2", " 1", "infx", "--1"}) {
    EXPECT_EQ(parse_f64(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace velk
