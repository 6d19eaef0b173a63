// The error model: the message users see, the note that carries the rest,
// and the value-or-error types every reader returns.
#include "io/error.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velk {
namespace {

TEST(Error, NoteJoinsDetailOffsetAndField) {
  EXPECT_EQ(Error::format("bad").note(), "");
  EXPECT_EQ(Error::format("bad").at(0).note(), "at byte 0");
  EXPECT_EQ(Error::format("bad").reading("the header").note(), "reading the header");
  const Error e = Error::io("I/O operation failed").detail("unexpected end of file").at(1234).reading("the geometry block");
  EXPECT_EQ(e.message(), "I/O operation failed");
  EXPECT_EQ(e.note(), "unexpected end of file at byte 1234 reading the geometry block");
  EXPECT_EQ(e.kind(), Error::Kind::Io);
}

TEST(Error, InnermostOffsetAndFieldWinPrefixesStack) {
  Error e = Error::format("x").at(7).reading("a name");
  e.at(1).reading("the hierarchy block").prefixed("open: ").prefixed("FST ");
  EXPECT_EQ(e.message(), "FST open: x");
  EXPECT_EQ(e.offset(), 7u);
  EXPECT_EQ(e.field(), "a name");
}

TEST(Error, KindsAndErrno) {
  EXPECT_EQ(Error::io("gone", 2).os_errno(), 2);
  EXPECT_EQ(Error::io("gone").os_errno(), 0);
  EXPECT_EQ(Error::limit("too many").kind(), Error::Kind::Limit);
  EXPECT_EQ(Error{"plain"}.kind(), Error::Kind::Format);
}

TEST(Expected, HoldsAValueOrAnErrorAndMovesThemOut) {
  Expected<std::vector<int>> good = std::vector<int>{1, 2};
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(std::move(good).value().size(), 2u);

  Expected<std::string> bad = Error::format("nope").at(3);
  ASSERT_FALSE(bad);
  const Error moved = std::move(bad).error().prefixed("outer: ");
  EXPECT_EQ(moved.message(), "outer: nope");
  EXPECT_EQ(moved.offset(), 3u);

  Status fine;
  EXPECT_TRUE(fine.ok());
  Status failed = Error::limit("budget");
  EXPECT_EQ(failed.error().message(), "budget");
}

}  // namespace
}  // namespace velk
