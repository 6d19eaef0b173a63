// Opening files: the checks every reader shares and the reason texts that
// each reader puts its own wording in front of.
#include "io/file_bytes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <string>

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

}  // namespace
}  // namespace velk
