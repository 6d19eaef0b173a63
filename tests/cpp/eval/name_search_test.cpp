#include <gtest/gtest.h>

#include <random>

#include "eval/case_fold.h"
#include "eval/find.h"
#include "eval/glob.h"
#include "eval_test_support.h"

namespace velk {
namespace {

using namespace velk::testing;
using Names = std::vector<std::string>;

std::unique_ptr<LoadedTrace> named(const Names& names) {
  auto trace = empty_trace(1);
  for (const auto& n : names) trace->add_signal(n, 1);
  return trace;
}

TEST(GlobTest, WildcardsAndLiterals) {
  EXPECT_TRUE(glob_match("top.?lk", "top.clk"));
  EXPECT_FALSE(glob_match("top.?lk", "top.cclk"));
  EXPECT_TRUE(glob_match("*.clk", "top.clk"));
  EXPECT_TRUE(glob_match("*.clk", "a.b.clk"));
  EXPECT_FALSE(glob_match("*.clk", "top.clk2"));
  EXPECT_TRUE(glob_match("top.*", "top.a.b.c"));
  EXPECT_FALSE(glob_match("top.*", "top"));
  EXPECT_TRUE(glob_match("*clk*", "x.clk_div"));
  EXPECT_TRUE(glob_match("top.[ab]", "top.[ab]"));
  EXPECT_FALSE(glob_match("top.[ab]", "top.a"));
  EXPECT_FALSE(glob_match("TOP.clk", "top.clk"));  // no case folding
  EXPECT_TRUE(glob_match("a*b*c", "aXbYbZc"));
  EXPECT_FALSE(glob_match("a*b*c", "aXbYbZ"));
  EXPECT_TRUE(glob_match("**", "anything"));
  EXPECT_TRUE(glob_match("*", ""));
  EXPECT_TRUE(glob_match("", ""));
  EXPECT_FALSE(glob_match("", "a"));
  EXPECT_FALSE(glob_match("?", ""));
  // '?' is one byte, not one character: a two-byte character needs two.
  EXPECT_FALSE(glob_match("top.?", "top.\xC3\xA9"));
  EXPECT_TRUE(glob_match("top.??", "top.\xC3\xA9"));
  // A star in the pattern facing a star in the name is first taken as a
  // literal byte; it is then never remembered as a wildcard.
  EXPECT_TRUE(glob_match("a*", "a*"));
  EXPECT_TRUE(glob_match("*b", "x*xb"));
  EXPECT_FALSE(glob_match("*b", "*xb"));
}

// Backtracking reference: tries every split for each star.
bool reference_glob(std::string_view p, std::string_view t) {
  if (p.empty()) return t.empty();
  if (p[0] == '*') {
    for (std::size_t k = 0; k <= t.size(); ++k) {
      if (reference_glob(p.substr(1), t.substr(k))) return true;
    }
    return false;
  }
  return !t.empty() && (p[0] == '?' || p[0] == t[0]) && reference_glob(p.substr(1), t.substr(1));
}

TEST(GlobTest, AgreesWithBacktrackingOnRandomPatterns) {
  std::mt19937_64 rng(99);
  const std::string pattern_bytes = "ab.*?";
  const std::string name_bytes = "ab.";
  int matches = 0;
  for (int n = 0; n < 200000; ++n) {
    std::string p, t;
    for (std::size_t k = rng() % 7; k > 0; --k) p += pattern_bytes[rng() % pattern_bytes.size()];
    for (std::size_t k = rng() % 9; k > 0; --k) t += name_bytes[rng() % name_bytes.size()];
    const bool want = reference_glob(p, t);
    ASSERT_EQ(glob_match(p, t), want) << "pattern '" << p << "' name '" << t << "'";
    matches += want ? 1 : 0;
  }
  EXPECT_GT(matches, 1000);
}

TEST(FindSignalsGlobTest, KeepsTraceOrder) {
  const auto trace = named({"top.clk", "a.b.clk", "top.cclk", "top.clk_div", "top.[ab]", "clk"});
  EXPECT_EQ(find_signals_glob(*trace, "*.clk"), (Names{"top.clk", "a.b.clk"}));
  EXPECT_EQ(find_signals_glob(*trace, "*clk*"),
            (Names{"top.clk", "a.b.clk", "top.cclk", "top.clk_div", "clk"}));
  EXPECT_EQ(find_signals_glob(*trace, "top.[ab]"), Names{"top.[ab]"});
  EXPECT_TRUE(find_signals_glob(*trace, "").empty());
  EXPECT_EQ(find_signals_glob(*named({"x", ""}), ""), Names{""});
}

TEST(CaseFoldTest, FollowsPythonLower) {
  EXPECT_EQ(to_lower_full("Top.CLK_Div"), "top.clk_div");
  EXPECT_EQ(to_lower_full("\xC3\x84pfel"), "\xC3\xA4pfel");             // Ä
  EXPECT_EQ(to_lower_full("\xC4\xB0"), "i\xCC\x87");                     // İ -> i + combining dot
  EXPECT_EQ(to_lower_full("STRA\xE1\xBA\x9E" "E"), "stra\xC3\x9F" "e");  // ẞ -> ß
  EXPECT_EQ(to_lower_full("\xE2\x84\xA6"), "\xCF\x89");                  // Ohm sign -> ω
  EXPECT_EQ(to_lower_full("\xF0\x90\x90\x80"), "\xF0\x90\x90\xA8");      // Deseret, 4 bytes
  EXPECT_EQ(to_lower_full("\xC7\x85"), "\xC7\x86");                      // title-case ǅ
}

TEST(CaseFoldTest, FinalSigma) {
  // ΟΔΟΣ: the sigma ends the word.
  EXPECT_EQ(to_lower_full("\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3"), "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82");
  // Alone or at the start of a word it is the ordinary small sigma.
  EXPECT_EQ(to_lower_full("\xCE\xA3"), "\xCF\x83");
  EXPECT_EQ(to_lower_full("\xCE\xA3\xCE\x91"), "\xCF\x83\xCE\xB1");
  // "." is case-ignorable: looking past it, "x" is cased, so not final.
  EXPECT_EQ(to_lower_full("A\xCE\xA3.x"), "a\xCF\x83.x");
  // "_" is not case-ignorable and not cased, so the sigma is final.
  EXPECT_EQ(to_lower_full("A\xCE\xA3_x"), "a\xCF\x82_x");
  // A case-ignorable character before the sigma is skipped on the way back.
  EXPECT_EQ(to_lower_full("A'\xCE\xA3"), "a'\xCF\x82");
  EXPECT_EQ(to_lower_full("1'\xCE\xA3"), "1'\xCF\x83");
}

TEST(CaseFoldTest, IllFormedBytesPassThrough) {
  EXPECT_EQ(to_lower_full("A\xFF" "B"), "a\xFF" "b");
  EXPECT_EQ(to_lower_full("A\xC3"), "a\xC3");                  // truncated sequence
  EXPECT_EQ(to_lower_full("\xC0\x80Z"), "\xC0\x80z");          // overlong
  EXPECT_EQ(to_lower_full("\xED\xA0\x80Q"), "\xED\xA0\x80q");  // encoded surrogate
}

TEST(FindSignalsContainingTest, FoldsBothSides) {
  const auto trace = named({"top.clk", "top.Clk_div", "top.data", "top.\xC4\xB0" "dx", "top.STRA\xE1\xBA\x9E" "E",
                            "g.\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3", "g.\xCE\xA3\xCE\x91"});
  EXPECT_EQ(find_signals_containing(*trace, "CLK"), (Names{"top.clk", "top.Clk_div"}));
  EXPECT_EQ(find_signals_containing(*trace, "").size(), 7u);
  EXPECT_TRUE(find_signals_containing(*trace, "nothing").empty());
  // İ folds to i + U+0307, so "i" is found but "id" is not contiguous.
  EXPECT_EQ(find_signals_containing(*trace, "I"), (Names{"top.Clk_div", "top.\xC4\xB0" "dx"}));
  EXPECT_TRUE(find_signals_containing(*trace, "id").empty());
  EXPECT_EQ(find_signals_containing(*trace, "\xC4\xB0" "D"), Names{"top.\xC4\xB0" "dx"});
  // ẞ folds to ß, never to "ss".
  EXPECT_EQ(find_signals_containing(*trace, "\xC3\x9F"), Names{"top.STRA\xE1\xBA\x9E" "E"});
  EXPECT_EQ(find_signals_containing(*trace, "\xE1\xBA\x9E"), Names{"top.STRA\xE1\xBA\x9E" "E"});
  EXPECT_TRUE(find_signals_containing(*trace, "ss").empty());
  // Final sigma: ς is found only in the word-final position.
  EXPECT_EQ(find_signals_containing(*trace, "\xCF\x82"), Names{"g.\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3"});
  EXPECT_EQ(find_signals_containing(*trace, "\xCF\x83"), Names{"g.\xCE\xA3\xCE\x91"});
  // A lone capital sigma in the query folds to σ (nothing cased before it).
  EXPECT_EQ(find_signals_containing(*trace, "\xCE\xA3"), Names{"g.\xCE\xA3\xCE\x91"});
}

}  // namespace
}  // namespace velk
