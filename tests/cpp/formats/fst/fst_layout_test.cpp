// Opening hand-built FST files: block walk, header, geometry, blackout,
// gzip wrapper, and the errors of each.
#include <gtest/gtest.h>

#include "formats/fst/fst_reader.h"
#include "formats/fst/header_blocks.h"
#include "fst_builder.h"

namespace velk::fst {
namespace {

using namespace testing;

Buf minimal_hierarchy() {
  Buf entries = scope_entry("top");
  append(entries, var_entry(16, "a", 1));
  append(entries, upscope_entry());
  return hierarchy_block(entries);
}

Buf minimal_file() {
  Buf f = header_block(0, 0);
  append(f, geometry_block({1}));
  append(f, minimal_hierarchy());
  return f;
}

std::string open_error(Buf file) {
  auto r = FstReader::open(input_of(std::move(file)), true);
  return r.ok() ? "ok" : r.error().message();
}

TEST(FstOpen, HeaderGeometryHierarchyOnly) {
  auto r = FstReader::open(input_of(minimal_file()), true);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r.value().header().version, "hand-built");
  EXPECT_EQ(r.value().header().timescale_exponent, -9);
  EXPECT_EQ(r.value().metadata().float_endian, FloatEndian::Little);
  ASSERT_TRUE(r.value().time_table().has_value());
  EXPECT_TRUE(r.value().time_table()->empty());
  EXPECT_TRUE(r.value().metadata().sections.empty());
}

TEST(FstOpen, MissingBlocks) {
  Buf no_geometry = header_block(0, 0);
  EXPECT_EQ(open_error(no_geometry), "The FST file is incomplete: geometry block is missing.");
  Buf no_hierarchy = header_block(0, 0);
  append(no_hierarchy, geometry_block({1}));
  EXPECT_EQ(open_error(no_hierarchy), "The FST file is incomplete: hierarchy block is missing.");
  Buf no_header = geometry_block({1});
  append(no_header, minimal_hierarchy());
  EXPECT_EQ(open_error(no_header), "The FST file is incomplete: header block is missing.");
}

TEST(FstOpen, SkipBlockOfLengthZeroEndsTheWalk) {
  Buf f = minimal_file();
  f.push_back(255);
  append_be64(f, 0);
  f.push_back(99);  // garbage after the end marker is never read
  EXPECT_EQ(open_error(f), "ok");
  Buf g = minimal_file();
  append(g, block(255, bytes({1, 2, 3})));
  EXPECT_EQ(open_error(g), "ok");
}

TEST(FstOpen, BlockTypeErrors) {
  EXPECT_EQ(open_error(bytes({9, 0, 0})), "Unexpected block type");
  Buf f = minimal_file();
  append(f, block(42, {}));
  EXPECT_EQ(open_error(f), "Unexpected block type");
  Buf w = minimal_file();
  append(w, block(254, {}));
  EXPECT_EQ(open_error(w), "GZip Wrapper should have been handled earlier!");
  Buf two = minimal_file();
  append(two, minimal_hierarchy());
  EXPECT_EQ(open_error(two), "Only a single hierarchy block is expected!");
  EXPECT_EQ(open_error({}), "I/O operation failed");
}

TEST(FstOpen, HeaderErrors) {
  Buf bad_type = header_block(0, 0, 3);
  append(bad_type, geometry_block({1}));
  EXPECT_EQ(open_error(bad_type), "Unexpected file type");
  Buf short_header = block(0, Buf(100, 0));
  EXPECT_EQ(open_error(short_header), "header block has length 108, expected 329");
  Buf bad_endian = header_block(0, 0);
  bad_endian[1 + 8 + 16] ^= 0x55;
  EXPECT_EQ(open_error(bad_endian), "header endianness test matches neither byte order");
  Buf truncated = header_block(0, 0);
  truncated.resize(200);
  EXPECT_EQ(open_error(truncated), "I/O operation failed");
}

TEST(FstOpen, GeometryValues) {
  Buf f = header_block(0, 0);
  append(f, geometry_block({0, 0xFFFFFFFFu, 5, 1}));
  append(f, minimal_hierarchy());
  auto r = FstReader::open(input_of(f), false);
  ASSERT_TRUE(r.ok());
  const auto& s = r.value().signals();
  ASSERT_EQ(s.size(), 4u);
  EXPECT_TRUE(s[0].is_real());
  EXPECT_EQ(s[1].raw(), 1u);
  EXPECT_EQ(s[1].bit_length(), 0u);
  EXPECT_EQ(s[2].bit_length(), 5u);
  EXPECT_EQ(s[3].raw(), 2u);
  EXPECT_FALSE(r.value().time_table().has_value());
}

TEST(FstOpen, GeometryCompressedAndHostile) {
  Buf body;
  for (int i = 0; i < 100; ++i) append_uleb128(body, 8);
  Buf p;
  append_be64(p, body.size());
  append_be64(p, 100);
  append(p, zlib_compress(body, 9));
  Buf f = header_block(0, 0);
  append(f, block(3, p));
  append(f, minimal_hierarchy());
  auto r = FstReader::open(input_of(f), false);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().signals().size(), 100u);

  Buf huge;
  append_be64(huge, std::uint64_t{1} << 40);  // uncompressed length
  append_be64(huge, std::uint64_t{1} << 40);  // signal count
  append(huge, zlib_compress(body, 9));
  Buf g = header_block(0, 0);
  append(g, block(3, huge));
  EXPECT_EQ(open_error(g), "failed to decompress with zlib");

  Buf too_many;
  append_be64(too_many, 4);
  append_be64(too_many, 5);
  append(too_many, bytes({1, 1, 1, 1}));
  Buf h = header_block(0, 0);
  append(h, block(3, too_many));
  EXPECT_EQ(open_error(h), "geometry claims more signals than its body holds");
}

TEST(FstOpen, Blackout) {
  Buf p;
  append_uleb128(p, 3);
  p.push_back(0);
  append_uleb128(p, 10);
  p.push_back(1);
  append_uleb128(p, 5);
  p.push_back(0);
  append_uleb128(p, 100);
  Buf f = minimal_file();
  append(f, block(2, p));
  auto r = FstReader::open(input_of(f), false);
  ASSERT_TRUE(r.ok());
  const auto& b = *r.value().metadata().blackout;
  ASSERT_EQ(b.size(), 3u);
  EXPECT_EQ(b[0].time, 10u);
  EXPECT_FALSE(b[0].dumping_on);
  EXPECT_EQ(b[1].time, 15u);
  EXPECT_TRUE(b[1].dumping_on);
  EXPECT_EQ(b[2].time, 115u);

  Buf extra = p;
  extra.push_back(0);  // one byte more than the entries
  Buf g = minimal_file();
  append(g, block(2, extra));
  EXPECT_EQ(open_error(g), "blackout entries do not end at the end of their block");
}

TEST(FstOpen, HeaderTimesComeFromSectionsWhenUnfinished) {
  Buf f = header_block(0, 0);
  Section a;
  a.start = 10, a.end = 20, a.times = {10, 20}, a.frame = {'0'}, a.frame_signals = 1;
  Section b = a;
  b.start = 20, b.end = 35, b.times = {20, 35};
  append(f, section_block(a));
  append(f, section_block(b));
  append(f, geometry_block({1}));
  append(f, minimal_hierarchy());
  auto r = FstReader::open(input_of(f), true);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r.value().header().start_time, 10u);
  EXPECT_EQ(r.value().header().end_time, 35u);
  EXPECT_EQ(*r.value().time_table(), (std::vector<std::uint64_t>{10, 20, 20, 35}));
  ASSERT_EQ(r.value().metadata().sections.size(), 2u);
  EXPECT_EQ(r.value().metadata().sections[1].kind, 2);
}

TEST(FstOpen, TimeTableStartsWithSectionStartBeforeFirstTime) {
  Buf f = header_block(0, 50);
  Section a;
  a.start = 0, a.end = 50, a.times = {5, 50}, a.frame = {'0'}, a.frame_signals = 1;
  append(f, section_block(a));
  append(f, geometry_block({1}));
  append(f, minimal_hierarchy());
  auto r = FstReader::open(input_of(f), true);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r.value().time_table(), (std::vector<std::uint64_t>{0, 5, 50}));
}

TEST(FstOpen, HostileSectionLengths) {
  Buf f = header_block(0, 0);
  Buf p;
  append_be64(p, 0);
  append_be64(p, 0);
  append_be64(p, 0);
  Buf sec{8};
  append_be64(sec, std::uint64_t{1} << 62);  // past the end of the file
  append(sec, p);
  append(f, sec);
  EXPECT_EQ(open_error(f), "I/O operation failed");

  Buf g = header_block(0, 0);
  Section a;
  a.times = {1, 2};
  a.frame_signals = 0;
  Buf s = section_block(a);
  // Claim a time table far larger than its section.
  const std::size_t t_field = s.size() - 16;
  for (int i = 0; i < 8; ++i) s[t_field + i] = i == 0 ? 0x10 : 0;
  append(g, s);
  EXPECT_EQ(open_error(g), "time table larger than its value-change section");
}

TEST(FstOpen, GzipWrapper) {
  const Buf plain = minimal_file();
  Buf f{254};
  append_be64(f, 1);
  append_be64(f, plain.size());
  append(f, gzip_member_header());
  append(f, raw_deflate(plain));
  auto r = FstReader::open(input_of(f), true);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r.value().signals().size(), 1u);

  Buf unfinished{254};
  append_be64(unfinished, 0);
  append_be64(unfinished, 100);
  EXPECT_EQ(open_error(unfinished), "The FST file is still being compressed into its final GZIP wrapper.");

  Buf corrupt{254};
  append_be64(corrupt, 1);
  append_be64(corrupt, plain.size());
  append(corrupt, gzip_member_header());
  append(corrupt, bytes({0xff, 0xff, 0xff, 0xff}));
  EXPECT_EQ(open_error(corrupt), "failed to decompress gzip stream: Data");

  Buf bad_header{254};
  append_be64(bad_header, 1);
  append_be64(bad_header, 5);
  append(bad_header, bytes({0x1f, 0x8b, 9, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(open_error(bad_header), "failed to parse a gzip header: expected deflate compression (8) got 9");

  Buf truncated{254};
  append_be64(truncated, 1);
  append_be64(truncated, std::uint64_t{1} << 40);  // claims far more than the stream holds
  append(truncated, gzip_member_header());
  Buf packed = raw_deflate(plain);
  packed.resize(packed.size() / 2);
  append(truncated, packed);
  EXPECT_EQ(open_error(truncated), "failed to decompress gzip stream: Buf");
}

}  // namespace
}  // namespace velk::fst
