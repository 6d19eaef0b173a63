// Opening files: the checks every reader shares and the reason texts that
// each reader puts its own wording in front of.
#include "io/file_bytes.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace velk {
namespace {

TEST(OpenInputFile, ReasonsAloneWithErrno) {
  const auto missing = open_input_file(::testing::TempDir() + "no_such_file");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "No such file or directory (os error 2)");
  EXPECT_EQ(missing.error().kind(), Error::Kind::Io);
  EXPECT_EQ(missing.error().os_errno(), ENOENT);

  const auto dir = open_input_file(::testing::TempDir());
  ASSERT_FALSE(dir.ok());
  EXPECT_EQ(dir.error().message(), "Is a directory (os error 21)");

  const auto nul = open_input_file(std::string("a\0b", 3));
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(nul.error().message(), "file name contained an unexpected NUL byte");
}

TEST(ReadFileBytes, WholeFileOrTheWordedReason) {
  const std::string path = ::testing::TempDir() + "three_bytes";
  std::ofstream(path, std::ios::binary) << "abc";
  const auto bytes = read_file_bytes(path);
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(bytes.value().size(), 3u);
  const auto file = open_input_file(path);
  ASSERT_TRUE(file.ok());
  EXPECT_EQ(file.value().size(), 3u);

  const std::string missing = ::testing::TempDir() + "no_such_file";
  EXPECT_EQ(read_file_bytes(missing).error().message(),
            "Failed to read " + missing + ": No such file or directory (os error 2)");
  EXPECT_EQ(read_whole_file(missing).error().message(), "No such file or directory (os error 2)");
}

// A regular file is read to its end whatever the limit; a pipe up to the
// limit; a device that never ends (it would fill memory) fails at it.
TEST(ReadRest, PipesAndDevicesStopAtTheLimit) {
  const std::string path = ::testing::TempDir() + "ten_bytes";
  std::ofstream(path, std::ios::binary) << "0123456789";
  const auto regular = open_input_file(path);
  ASSERT_TRUE(regular.ok());
  EXPECT_TRUE(regular.value().regular());
  EXPECT_EQ(read_rest(regular.value(), 4).value().size(), 10u);

  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ASSERT_EQ(::write(ends[1], "abcdef", 6), 6);
  ::close(ends[1]);
  const InputFile pipe_file(ends[0], 0, false);
  EXPECT_EQ(read_rest(pipe_file, 6).value(), std::vector<std::uint8_t>({'a', 'b', 'c', 'd', 'e', 'f'}));

  if (::access("/dev/zero", R_OK) != 0) GTEST_SKIP() << "no /dev/zero";
  const auto device = open_input_file("/dev/zero");
  ASSERT_TRUE(device.ok());
  EXPECT_FALSE(device.value().regular());
  const auto endless = read_rest(device.value(), 1u << 20);
  ASSERT_FALSE(endless.ok());
  EXPECT_EQ(endless.error().kind(), Error::Kind::Limit);
  EXPECT_EQ(endless.error().message(), "not a regular file, and longer than 1 MiB");
}

}  // namespace
}  // namespace velk
