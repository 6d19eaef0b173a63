#include "formats/vpd/vpd_trace.h"
#include "formats/scan/scan.h"
#include "support/bytes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace velk {
namespace {

using namespace velk::testing;
using Names = std::vector<std::string>;

// Builds a VPD file: the 128-byte header with its magic and section slots,
// four filler bytes (a section may not start at offset 128), then section
// bodies appended at known offsets.
class VpdBuilder {
 public:
  VpdBuilder() : bytes_(132, 0) { put_u32(0, 0x12345678); }

  void put_u32(std::size_t off, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  void slot(std::size_t k, std::uint32_t offset) { put_u32(48 + 4 * k, offset); }

  // Appends a section and points slot `k` at it; returns its offset.
  std::uint32_t section(std::size_t k, const ByteVec& body) {
    const auto off = static_cast<std::uint32_t>(bytes_.size());
    bytes_.insert(bytes_.end(), body.begin(), body.end());
    slot(k, off);
    return off;
  }
  ByteVec& bytes() { return bytes_; }

 private:
  ByteVec bytes_;
};

// NUL-terminated strings back to back, after `lead` filler bytes.
ByteVec strings(std::initializer_list<std::string_view> list, std::size_t lead = 1) {
  return cat({ByteVec(lead, 0x01), nul_strings(list)});
}

Names identifiers(const ByteVec& b) { return extract_identifiers(b); }

TEST(VpdExtractIdentifiers, AcceptsNamesWithoutCharacterClassTest) {
  EXPECT_EQ(identifiers(strings({"a.b-c", "top.x[3]", "s p a c e", "_u", "A=B+1:$"})),
            (Names{"a.b-c", "top.x[3]", "s p a c e", "_u", "A=B+1:$"}));
}

TEST(VpdExtractIdentifiers, RejectsBadShapes) {
  EXPECT_TRUE(identifiers(strings({"a.1b", "a..b", ".a", "a.", "0xff", "0Xff", "x", "9a"})).empty());
  EXPECT_TRUE(identifiers(strings({"a/b", "a{b", "a(b", "a@b"})).empty());
  // Brackets and braces other than the four forbidden characters are fine.
  EXPECT_EQ(identifiers(strings({"a)b", "a}b"})), (Names{"a)b", "a}b"}));
}

TEST(VpdExtractIdentifiers, RunBoundaries) {
  // A run must be NUL-terminated: one ended by 0x01 is dropped and the scan resumes after it.
  EXPECT_EQ(identifiers({'a', 'b', 0x01, 'c', 'd', 0x00}), (Names{"cd"}));
  // A leading space cannot start a run; the run starts at the next printable byte.
  EXPECT_EQ(identifiers({' ', 'a', 'b', 0x00}), (Names{"ab"}));
  // An unterminated tail ends the scan.
  EXPECT_EQ(identifiers({'a', 'b', 0x00, 'c', 'd'}), (Names{"ab"}));
  // Duplicates are kept in order of appearance.
  EXPECT_EQ(identifiers(strings({"ab", "cd", "ab"})), (Names{"ab", "cd", "ab"}));
}

TEST(VpdParse, HeaderErrors) {
  EXPECT_EQ(vpd::parse(ByteVec(127, 0)).error().message(), "VPD file too small");
  EXPECT_EQ(vpd::parse(ByteVec(127, 0)).error().note(), "unexpected end of file at byte 127 reading the header");
  ByteVec bad(128, 0);
  bad[0] = 0x01;
  EXPECT_EQ(vpd::parse(bad).error().message(), "Not a VPD file (magic=0x00000001)");
  EXPECT_EQ(vpd::parse(bad).error().note(), "at byte 0 reading the magic number");
  ByteVec be(128, 0);
  be[0] = 0x12, be[1] = 0x34, be[2] = 0x56, be[3] = 0x78;
  EXPECT_EQ(vpd::parse(be).error().message(), "Not a VPD file (magic=0x78563412)");
}

TEST(VpdParse, MinimalFileHasOneIndexAndNothingElse) {
  VpdBuilder b;
  b.bytes().resize(128);
  const auto r = vpd::parse(b.bytes());
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_TRUE(r.value().signal_names().empty());
  EXPECT_TRUE(r.value().scopes().empty());
  EXPECT_EQ(r.value().timestamps, (std::vector<std::uint64_t>{0}));
  EXPECT_EQ(r.value().max_index(), 0u);
}

TEST(VpdParse, SectionWithManyIdentifiersHoldsNames) {
  VpdBuilder b;
  b.section(3, strings({"top.a", "top.b", "top.sub.c", "d"/*too short*/, "top.e", "top.a"}));
  const auto r = vpd::parse(b.bytes());
  ASSERT_TRUE(r.ok()) << r.error().message();
  const LoadedTrace& t = r.value();
  EXPECT_EQ(t.signals.names(), (Names{"top.a", "top.b", "top.sub.c", "top.e"}));
  EXPECT_EQ(t.scopes(), (Names{"top", "top.sub"}));
  EXPECT_EQ(t.signal_id("top.sub.c"), 2u);
  EXPECT_EQ(t.signal_width("top.e"), 1u);
  EXPECT_TRUE(t.signal_value("top.a", 0).is_empty());
}

TEST(VpdParse, SectionWithThreeIdentifiersIsNotANameSection) {
  VpdBuilder b;
  b.section(0, strings({"aa", "bb", "cc"}));
  const auto r = vpd::parse(b.bytes());
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.value().signal_names().empty());
}

TEST(VpdParse, MarkerStringInWindowMakesAllIdentifiersNames) {
  VpdBuilder b;
  // "FoldedTop" is itself an identifier; the window holds two, then names
  // past the 128-byte window are still taken.
  ByteVec body = strings({"FoldedTop", "xx"});
  body.resize(200, 0x01);
  body = cat({body, strings({"late.sig"})});
  b.section(5, body);
  const auto r = vpd::parse(b.bytes());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().signals.names(), (Names{"FoldedTop", "xx", "late.sig"}));
}

TEST(VpdParse, MarkerMayBeInsideAStringThatStartsWithASpace) {
  VpdBuilder b;
  // " WithMask" is not an identifier (it starts with a space after the 0x01
  // lead), but it counts as a window string and marks the section.
  b.section(0, strings({" WithMask!", "ab"}, 1));
  const auto r = vpd::parse(b.bytes());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().signals.names(), (Names{"WithMask!", "ab"}));
}

TEST(VpdParse, MarkerOutsideWindowDoesNotCount) {
  VpdBuilder b;
  ByteVec body(130, 0x01);
  body = cat({body, strings({"FoldedTop", "ab"})});
  b.section(0, body);
  const auto r = vpd::parse(b.bytes());
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.value().signal_names().empty());
}

TEST(VpdParse, SectionsAreSortedDeduplicatedAndBounded) {
  VpdBuilder b;
  const auto first = b.section(7, strings({"FoldedTop", "one"}));
  b.section(2, strings({"FoldedTop", "two"}));
  b.slot(9, first);                                            // duplicate slot: one section
  b.slot(10, 128);                                             // not past the header
  b.slot(13, 129);  // inside the filler: a section of 3 bytes without names
  b.slot(11, static_cast<std::uint32_t>(b.bytes().size()));  // at the end of the file
  b.slot(12, 0xFFFFFFFF);
  const auto r = vpd::parse(b.bytes());
  ASSERT_TRUE(r.ok());
  // The first section ends where the second starts, so "two" is not read twice.
  EXPECT_EQ(r.value().signals.names(), (Names{"FoldedTop", "one", "two"}));
  EXPECT_EQ(r.value().signal_id("two"), 2u);
}

TEST(VpdParse, WindowIsCutAtTheNextSection) {
  VpdBuilder b;
  // Section A's window is only its own 8 bytes: the names of section B do not
  // make A a name section; B's marker is seen in B.
  b.section(0, strings({"aa", "bb"}, 2));
  b.section(1, strings({"WithMask", "cc"}));
  const auto r = vpd::parse(b.bytes());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().signals.names(), (Names{"WithMask", "cc"}));
}

TEST(VpdFromFile, ReadsFromDiskAndReportsMissingFile) {
  VpdBuilder b;
  b.section(0, strings({"top.a", "top.b", "top.c", "top.d"}));
  const TempFile file(b.bytes());
  const auto r = VpdTrace::from_file(file.path());
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r.value().signals.names().size(), 4u);

  const auto missing = VpdTrace::from_file("no/such/file.vpd");
  EXPECT_EQ(missing.error().message(), "Failed to read no/such/file.vpd: No such file or directory (os error 2)");
  EXPECT_EQ(VpdTrace::from_file(TempFile(ByteVec(127, 0x78)).path()).error().message(), "VPD file too small");
}

}  // namespace
}  // namespace velk
