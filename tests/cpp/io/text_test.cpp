#include <gtest/gtest.h>

#include <random>

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
  EXPECT_EQ(decode_utf8_lossy("a\xC0\xAF\xC3\xA9"), "a\xEF\xBF\xBD\xEF\xBF\xBD\xC3\xA9");
}

// The well-formed byte sequences table of the Unicode standard, written as
// ranges: an independent form of the same rule, as one reader once had it.
bool reference_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c < 0x80) {
      ++i;
      continue;
    }
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (s.size() - i < len) return false;
    const auto b1 = static_cast<unsigned char>(s[i + 1]);
    if (b1 < lo || b1 > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if (b < 0x80 || b > 0xBF) return false;
    }
    i += len;
  }
  return true;
}

TEST(Text, Utf8ValidationAgreesWithTheRangeTable) {
  std::mt19937 rng(7);
  // Bytes drawn mostly from the lead and continuation ranges, so that many
  // strings are valid and the invalid ones fail in every possible way.
  const unsigned char pool[] = {'a', 0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                                0xDF, 0xE0, 0xE1, 0xED, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xF8, 0xFF};
  std::size_t valid = 0;
  for (int round = 0; round < 200000; ++round) {
    std::string s(1 + rng() % 12, '\0');
    for (char& c : s) c = static_cast<char>(pool[rng() % sizeof pool]);
    ASSERT_EQ(is_valid_utf8(s), reference_utf8(s)) << ::testing::PrintToString(s);
    valid += reference_utf8(s);
  }
  EXPECT_GT(valid, 1000u);
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
