// The helpers the closed-format readers share: identifier tests and the
// errors for files too short or of another kind.
#include "formats/scan/scan.h"

#include <gtest/gtest.h>

#include "support/bytes.h"

namespace velk {
namespace {

using namespace velk::testing;

TEST(Scan, IdentifierOfACharacterSet) {
  EXPECT_TRUE(is_identifier_of("top.sig[3]", "$.[]_"));
  EXPECT_TRUE(is_identifier_of("_a$b", "$"));
  EXPECT_FALSE(is_identifier_of("", "$"));
  EXPECT_FALSE(is_identifier_of("9a", "$"));
  EXPECT_FALSE(is_identifier_of("a:b", "$.[]_"));
  EXPECT_TRUE(is_identifier_of("a:b", ":"));
}

TEST(Scan, DottedParts) {
  EXPECT_TRUE(dotted_parts_ok("top.u_1.sig"));
  EXPECT_FALSE(dotted_parts_ok("top..sig"));
  EXPECT_FALSE(dotted_parts_ok(".top"));
  EXPECT_FALSE(dotted_parts_ok("top."));
  EXPECT_FALSE(dotted_parts_ok("top.1sig"));
}

TEST(Scan, PermissiveIdentifiersFromNulStrings) {
  // Unterminated tails, runs ended by other bytes and rejected shapes are dropped.
  const ByteVec bytes = cat({nul_strings({"a.b-c", "x", "p/q", "_q[1]", "a..b"}), {0x01, 'z', 'z', 0x02},
                             text_bytes("tail")});
  EXPECT_EQ(extract_identifiers(bytes), (std::vector<std::string>{"a.b-c", "_q[1]"}));
}

TEST(Scan, ShortAndForeignFilesSayWhere) {
  const Error small = too_small_error("X file too small", 57, "the header");
  EXPECT_EQ(small.message(), "X file too small");
  EXPECT_EQ(small.note(), "unexpected end of file at byte 57 reading the header");
  const Error magic = bad_magic_error("Not an X file", 4);
  EXPECT_EQ(magic.note(), "at byte 4 reading the magic number");
  EXPECT_EQ(magic.kind(), Error::Kind::Format);
}

TEST(Scan, ParseFileReadsThenParses) {
  const TempFile file(text_bytes("abc"));
  const auto parsed = parse_file(file.path(), [](Bytes b) -> Expected<LoadedTrace> {
    if (b.size() != 3) return Error::format("wrong size");
    LoadedTrace t;
    t.timestamps = {0};
    return t;
  });
  EXPECT_TRUE(parsed.ok());
  const auto missing = parse_file(file.path() + ".none", [](Bytes) -> Expected<LoadedTrace> { return LoadedTrace(); });
  EXPECT_EQ(missing.error().message(), "Failed to read " + file.path() + ".none: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace velk
