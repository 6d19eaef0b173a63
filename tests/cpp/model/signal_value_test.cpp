#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "model/bitpack.h"
#include "model/signal_value.h"

namespace velk {
namespace {

using Levels = std::vector<std::uint8_t>;

Levels levels_of(const SignalValue& v) { return {v.levels().begin(), v.levels().end()}; }

TEST(ParseBinaryStr, EmptyAndPrefix) {
  EXPECT_TRUE(parse_binary_str("").is_empty());
  EXPECT_TRUE(parse_binary_str("b").is_empty());
  for (const char* text : {"b0101", "B0101", "0101"}) EXPECT_EQ(parse_binary_str(text), SignalValue::bits(5));
}

TEST(ParseBinaryStr, UnknownBitsGiveLogic) {
  const SignalValue v = parse_binary_str("b1x0z");
  ASSERT_EQ(v.tag(), SignalValue::Tag::Logic);
  EXPECT_EQ(levels_of(v), (Levels{1, 2, 0, 3}));
  EXPECT_EQ(parse_binary_str("10-1"), SignalValue::bits(9));
  EXPECT_EQ(levels_of(parse_binary_str("10-x")), (Levels{1, 0, 2, 2}));
  // One element per character, not per byte.
  EXPECT_EQ(levels_of(parse_binary_str("1\xC3\xA9x")), (Levels{1, 2, 2}));
}

TEST(ParseBinaryStr, KeepsLastSixtyFourBits) {
  EXPECT_EQ(parse_binary_str(std::string(65, '1') + "0"), SignalValue::bits(~std::uint64_t{1}));
}

TEST(ToU64, EveryVariant) {
  const std::uint8_t l101[] = {1, 0, 1};
  const std::uint8_t l13[] = {1, 3};
  const std::uint64_t words[] = {5, 7};
  EXPECT_EQ(SignalValue::logic(l101).to_u64(), 5u);
  EXPECT_EQ(SignalValue::logic(l13).to_u64(), std::nullopt);
  EXPECT_EQ(SignalValue::real(-1.5).to_u64(), 0u);
  EXPECT_EQ(SignalValue::real(3.9).to_u64(), 3u);
  EXPECT_EQ(SignalValue::real(std::nan("")).to_u64(), 0u);
  EXPECT_EQ(SignalValue::real(1e30).to_u64(), UINT64_MAX);
  EXPECT_EQ(SignalValue::str("+42").to_u64(), 42u);
  EXPECT_EQ(SignalValue::str(" 42").to_u64(), std::nullopt);
  EXPECT_EQ(SignalValue::str("+").to_u64(), std::nullopt);
  EXPECT_EQ(SignalValue::str("18446744073709551615").to_u64(), UINT64_MAX);
  EXPECT_EQ(SignalValue::str("18446744073709551616").to_u64(), std::nullopt);
  EXPECT_EQ(SignalValue::wide_bits(words).to_u64(), 5u);
  EXPECT_EQ(SignalValue::wide_bits({}).to_u64(), std::nullopt);
  EXPECT_EQ(SignalValue().to_u64(), std::nullopt);
}

TEST(SignalValueEquality, SameVariantAndPayload) {
  const std::uint8_t l1[] = {1};
  const std::uint64_t w1[] = {1};
  EXPECT_EQ(SignalValue(), SignalValue());
  EXPECT_NE(SignalValue::bits(1), SignalValue::logic(l1));
  EXPECT_NE(SignalValue::bits(1), SignalValue::wide_bits(w1));
  EXPECT_EQ(SignalValue::str("ab"), SignalValue::str("ab"));
  EXPECT_NE(SignalValue::str("ab"), SignalValue::str("abc"));
  const SignalValue nan = SignalValue::real(std::nan(""));
  EXPECT_NE(nan, nan);
  EXPECT_EQ(SignalValue::real(0.0), SignalValue::real(-0.0));
}

TEST(SignalValueCopies, ShareImmutablePayloadSafely) {
  SignalValue original = SignalValue::str("payload");
  std::vector<SignalValue> copies(1000, original);
  SignalValue moved = std::move(copies.back());
  copies.pop_back();
  EXPECT_TRUE(copies.back().text() == "payload");
  EXPECT_EQ(moved, original);
  original = SignalValue::bits(3);  // dropping one holder leaves the others intact
  EXPECT_EQ(moved.text(), "payload");
  // Copies made and dropped from several threads at once keep the count right.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        SignalValue c = moved;
        ASSERT_EQ(c.text().size(), 7u);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(moved.text(), "payload");
}

TEST(SignalValueCopies, ScalarLogicValuesAreShared) {
  const std::uint8_t x[] = {kLogicX};
  const std::uint8_t z[] = {kLogicZ};
  std::vector<SignalValue> many;
  for (int i = 0; i < 1000; ++i) many.push_back(i % 2 ? SignalValue::logic(x) : SignalValue::logic(z));
  EXPECT_EQ(many[1], SignalValue::logic(x));
  EXPECT_NE(many[0], many[1]);
  EXPECT_EQ(levels_of(many[0]), (Levels{3}));
  EXPECT_EQ(many[1].levels().data(), SignalValue::logic(x).levels().data());
  many.clear();  // dropping shared scalars frees nothing they depend on
  EXPECT_EQ(levels_of(SignalValue::logic(x)), (Levels{2}));
  EXPECT_EQ(levels_of(parse_binary_str("x")), (Levels{2}));
}

}  // namespace
}  // namespace velk
