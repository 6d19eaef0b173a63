// The identifier-code table against a plain map, on random codes of every
// length the table treats differently (one or two bytes, three to seven,
// longer), including NUL bytes and codes that are prefixes of each other.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>

#include "formats/vcd/vcd_code_table.h"

namespace velk {
namespace {

// A code as declarations give them: any bytes but white space, or (as
// writers make them) printable characters only, with the bytes either side
// of that range now and then.
std::string random_code(std::mt19937& rng, std::size_t length, bool printable = false) {
  std::string code;
  while (code.size() < length) {
    const auto c = static_cast<char>(!printable ? rng() % 256 : rng() % 50 ? '!' + rng() % 94 : rng() % 2 ? ' ' : 0x7F);
    if (c == ' ' || (c >= '\t' && c <= '\r')) continue;
    code += c;
  }
  return code;
}

TEST(VcdCodeTable, FindsWhatAMapFinds) {
  std::mt19937 rng(7);
  for (int round = 0; round < 30; ++round) {
    VcdCodeTable table;
    std::map<std::string, std::uint32_t> reference;
    const int count = round % 10 < 5 ? 50 : 5000;  // the big rounds grow the tables many times
    const bool printable = round >= 20;
    const auto length = [&] { return printable ? 1 + rng() % 5 : 1 + rng() % 10; };
    if (printable) {
      // The edges of the printable range, and bytes just past them that
      // would land on a neighbour's place if taken for digits.
      for (const char* code : {"!!!", "~~~", "~!!", "!~!", "!!~", "\x7f!!", "!\"!", "!!\x7f", " !!", "\"!!"}) {
        const auto id = static_cast<std::uint32_t>(reference.size());
        table.insert(code, id);
        reference.emplace(code, id);
      }
    }
    for (int i = 0; i < count; ++i) {
      std::string code = random_code(rng, length(), printable);
      // Codes that share bytes with one already in: a prefix, an extension
      // and the same bytes with a NUL after them.
      if (!reference.empty() && rng() % 3 == 0) {
        const std::string& other = reference.begin()->first;
        code = rng() % 2 ? other.substr(0, 1 + rng() % other.size()) : other + std::string(1, rng() % 2 ? '\0' : 'a');
      }
      if (reference.count(code)) continue;
      const auto id = static_cast<std::uint32_t>(reference.size());
      table.insert(code, id);
      reference.emplace(code, id);
    }
    // The parser's way in for codes of three to seven bytes: a word of the
    // bytes from the code on, with whatever follows the code after them.
    const auto by_word = [&](const std::string& code) {
      std::uint64_t bytes = rng();
      for (std::size_t i = 0; i < code.size(); ++i) {
        bytes &= ~(std::uint64_t{0xFF} << (8 * i));
        bytes |= std::uint64_t{static_cast<unsigned char>(code[i])} << (8 * i);
      }
      return table.id_of_medium_word(bytes, code.size());
    };
    for (const auto& [code, id] : reference) {
      ASSERT_EQ(table.id_of(code), id) << round;
      ASSERT_EQ(table.find(code), id);
      if (code.size() >= 3 && code.size() <= 7) {
        ASSERT_EQ(by_word(code), id) << round;
      }
    }
    for (int i = 0; i < 2000; ++i) {
      const std::string code = random_code(rng, length(), printable);
      const auto it = reference.find(code);
      const std::uint32_t want = it == reference.end() ? VcdCodeTable::kNone : it->second;
      ASSERT_EQ(table.id_of(code), want) << round;
      if (code.size() >= 3 && code.size() <= 7) {
        ASSERT_EQ(by_word(code), want) << round;
      }
    }
  }
}

TEST(VcdCodeTable, LineEndKeysNameShortCodes) {
  VcdCodeTable table;
  table.insert("!", 3);
  table.insert("!#", 4);
  const auto key = [](char a, char b) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) | static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8;
  };
  EXPECT_EQ(table.id_of_line_end(key('!', '\n')), 3u);
  EXPECT_EQ(table.id_of_line_end(key('!', '#')), 4u);
  EXPECT_EQ(table.id_of_line_end(key('#', '\n')), VcdCodeTable::kNone);
  EXPECT_EQ(table.id_of("!"), 3u);
}

}  // namespace
}  // namespace velk
