// The line-block reader: blocks must cover the input exactly and end on line
// feeds (all but the last), whatever the source says of its size (no hint, an
// exact one, one too small as for a file that grows, one too large as for a
// file that shrinks) and however few bytes each read hands over.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "io/line_reader.h"

namespace velk {
namespace {

class ScriptedSource final : public ByteSource {
 public:
  ScriptedSource(std::string bytes, std::uint64_t hint, std::size_t max_read)
      : bytes_(std::move(bytes)), hint_(hint), max_read_(max_read) {}
  std::size_t read(char* out, std::size_t capacity) override {
    const std::size_t n = std::min({capacity, max_read_, bytes_.size() - at_});
    std::copy_n(bytes_.data() + at_, n, out);
    at_ += n;
    return n;
  }
  std::uint64_t size_hint() const override { return hint_; }

 private:
  std::string bytes_;
  std::uint64_t hint_;
  std::size_t max_read_;
  std::size_t at_ = 0;
};

std::string random_lines(std::mt19937& rng, std::size_t size) {
  std::string text(size, 'x');
  std::uniform_int_distribution<int> pick(0, 99);
  const int newline_percent = pick(rng) < 20 ? 1 : 15;  // some inputs have long lines
  for (char& c : text) {
    if (pick(rng) < newline_percent) c = '\n';
  }
  return text;
}

// Reads `source` to its end; checks every block and returns them joined.
std::string read_blocks(ByteSource& source, std::size_t block_bytes) {
  LineBlockReader reader(source, block_bytes);
  LineBlock block;
  std::string joined;
  std::vector<std::string> blocks;
  while (reader.next(block)) blocks.emplace_back(block.text());
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    EXPECT_FALSE(blocks[i].empty());
    if (i + 1 < blocks.size()) {
      EXPECT_EQ(blocks[i].back(), '\n') << "block " << i;
    }
    joined += blocks[i];
  }
  return joined;
}

TEST(LineBlockReaderTest, BlocksCoverTheInputForAnySizeHint) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> size_of(0, 5000);
  for (int round = 0; round < 400; ++round) {
    const std::string text = random_lines(rng, round < 4 ? static_cast<std::size_t>(round) : size_of(rng));
    const std::size_t block_bytes = std::size_t{1} << (round % 14);  // 1 B .. 8 KiB
    const std::size_t max_read = round % 3 == 0 ? 7 : SIZE_MAX;
    const std::uint64_t hints[] = {0, text.size(), text.size() / 2, text.size() * 3 + 5, 1};
    for (const std::uint64_t hint : hints) {
      SCOPED_TRACE("size " + std::to_string(text.size()) + ", block " + std::to_string(block_bytes) + ", hint " +
                   std::to_string(hint) + ", read " + std::to_string(max_read));
      ScriptedSource source(text, hint, max_read);
      EXPECT_EQ(read_blocks(source, block_bytes), text);
    }
  }
}

// A line longer than the limit ends the input exactly where it starts,
// whatever the reads and the block size; every shorter line gets through.
TEST(LineBlockReaderTest, TheFirstLinePastTheLimitEndsTheInput) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<std::size_t> size_of(0, 6000);
  for (int round = 0; round < 600; ++round) {
    // The first round: a long line grows the buffer, and a line past the
    // limit follows a short one, all of it within the grown buffer's room.
    const std::string text = round == 0 ? std::string(64, 'a') + "\nb\n" + std::string(70, 'c') + "\nd\n"
                                        : random_lines(rng, size_of(rng));
    const std::size_t block_bytes = round == 0 ? 16 : std::size_t{1} << (round % 8);  // 1 B .. 128 B
    const std::size_t limit = round == 0 ? 64 : 2 * block_bytes + rng() % 300;
    const std::size_t max_read = round % 3 == 1 ? 7 : SIZE_MAX;
    // Where the first line longer than the limit starts, if any.
    std::size_t too_long = std::string::npos;
    for (std::size_t start = 0; start < text.size() && too_long == std::string::npos;) {
      const std::size_t nl = std::min(text.find('\n', start), text.size());
      if (nl - start > limit) too_long = start;
      start = nl + 1;
    }
    SCOPED_TRACE("size " + std::to_string(text.size()) + ", block " + std::to_string(block_bytes) + ", limit " +
                 std::to_string(limit));
    ScriptedSource source(text, round % 2 ? text.size() : 0, max_read);
    LineBlockReader reader(source, block_bytes, limit);
    LineBlock block;
    std::string joined;
    while (reader.next(block)) joined += block.text();
    if (too_long == std::string::npos) {
      EXPECT_FALSE(reader.failure().has_value());
      EXPECT_EQ(joined, text);
    } else {
      ASSERT_TRUE(reader.failure().has_value());
      EXPECT_EQ(reader.failure()->kind(), Error::Kind::Limit);
      EXPECT_EQ(reader.failure()->offset(), too_long);
      EXPECT_EQ(joined, text.substr(0, too_long));
    }
  }
}

// A few bytes are not worth a whole block's buffer (each load of a small file
// would allocate and poison megabytes under the sanitizers).
TEST(LineBlockReaderTest, SmallInputsGetBuffersOfTheirOwnSize) {
  const std::string text = "a\nbb\nccc\n";
  for (const std::uint64_t hint : {std::uint64_t{0}, std::uint64_t{text.size()}}) {
    ScriptedSource source(text, hint, SIZE_MAX);
    LineBlockReader reader(source, std::size_t{1} << 20);
    LineBlock block;
    ASSERT_TRUE(reader.next(block));
    EXPECT_EQ(block.text(), text);
    EXPECT_LE(block.capacity(), std::size_t{16} << 10);  // not a whole 1 MiB block for 9 bytes
    EXPECT_FALSE(reader.next(block));
  }
}

}  // namespace
}  // namespace velk
