// Hierarchy entries from hand-built streams and from each block compression.
#include <gtest/gtest.h>

#include "formats/fst/fst_reader.h"
#include "formats/fst/hierarchy.h"
#include "fst_builder.h"

namespace velk::fst {
namespace {

using namespace testing;

struct Walk {
  std::vector<FstHierarchyEntry> entries;
  std::string error;
};

Walk walk(const Buf& stream) {
  Walk w;
  ByteReader r(stream);
  std::uint32_t counter = 0;
  for (;;) {
    auto e = read_hierarchy_entry(r, counter);
    if (!e.ok()) {
      w.error = e.error().message();
      return w;
    }
    if (!e.value()) return w;
    w.entries.push_back(std::move(*e.value()));
  }
}

TEST(FstHierarchy, HandlesAndAliases) {
  Buf s = scope_entry("tb");
  append(s, var_entry(16, "a", 1));
  append(s, var_entry(16, "b", 1, 1));
  append(s, var_entry(16, "c", 4));
  append(s, var_entry(kVarTypePort, "p", 26, 0, 1));
  append(s, upscope_entry());
  const Walk w = walk(s);
  ASSERT_EQ(w.error, "");
  ASSERT_EQ(w.entries.size(), 6u);
  const auto& scope = std::get<ScopeEntry>(w.entries[0]);
  EXPECT_EQ(scope.name, "tb");
  const auto& a = std::get<VarEntry>(w.entries[1]);
  const auto& b = std::get<VarEntry>(w.entries[2]);
  const auto& c = std::get<VarEntry>(w.entries[3]);
  const auto& p = std::get<VarEntry>(w.entries[4]);
  EXPECT_EQ(a.handle.value, 1u);
  EXPECT_FALSE(a.is_alias);
  EXPECT_EQ(b.handle.value, 1u);
  EXPECT_TRUE(b.is_alias);
  EXPECT_EQ(c.handle.value, 2u);
  EXPECT_EQ(c.length, 4u);
  EXPECT_EQ(p.length, 8u);  // ports store 3 * width + 2
  EXPECT_EQ(p.direction, 1);
  EXPECT_TRUE(std::holds_alternative<UpScopeEntry>(w.entries[5]));
}

TEST(FstHierarchy, EntryErrors) {
  EXPECT_EQ(walk(bytes({254, 23, 'x', 0, 0})).error, "Unexpected scope type");
  EXPECT_EQ(walk(bytes({16, 6, 'x', 0, 1, 0})).error, "Unexpected variable direction");
  EXPECT_EQ(walk(bytes({30})).error, "not yet implemented: Deal with hierarchy entry of type: 30");
  EXPECT_EQ(walk(bytes({16, 0, 'x', 0})).error, "I/O operation failed");
  EXPECT_EQ(walk(bytes({16, 0, 'x'})).error, "I/O operation failed");
  EXPECT_EQ(walk(bytes({16, 0, 0xff, 0xfe, 0, 1, 0})).error, "failed to decode string");
  Buf long_name{16, 0};
  long_name.insert(long_name.end(), kMaxNameLength, 'n');
  long_name.push_back(0);
  const std::string err = walk(long_name).error;
  EXPECT_EQ(err.substr(0, err.find('\n')),
            "failed to read a null terminated string because it exceeds the expected size of 65536 bytes.");
  EXPECT_EQ(err.size(), err.find('\n') + 1 + kMaxNameLength);
}

TEST(FstHierarchy, Attributes) {
  Buf s = bytes({252, 0, 0});
  append_cstr(s, "a comment");
  append_uleb128(s, 0);
  append(s, bytes({252, 0, 3}));
  append_cstr(s, "/src/top.v");
  append_uleb128(s, 7);
  append(s, bytes({252, 0, 5}));
  append_uleb128(s, 7);
  s.push_back(0);
  append_uleb128(s, 42);
  append(s, bytes({252, 0, 2}));
  append_cstr(s, "std_logic");
  append_uleb128(s, (3 << 10) | 12);
  append(s, bytes({252, 0, 7}));
  append_cstr(s, "state 2 IDLE BUSY 0 1");
  append_uleb128(s, 9);
  append(s, bytes({252, 0, 7}));
  append_cstr(s, "");
  append_uleb128(s, 9);
  s.push_back(253);
  const Walk w = walk(s);
  ASSERT_EQ(w.error, "");
  ASSERT_EQ(w.entries.size(), 7u);
  EXPECT_EQ(std::get<CommentEntry>(w.entries[0]).text, "a comment");
  EXPECT_EQ(std::get<PathNameEntry>(w.entries[1]).id, 7u);
  const auto& stem = std::get<SourceStemEntry>(w.entries[2]);
  EXPECT_TRUE(stem.is_instantiation);
  EXPECT_EQ(stem.path_id, 7u);
  EXPECT_EQ(stem.line, 42u);
  const auto& vhdl = std::get<VhdlVarInfoEntry>(w.entries[3]);
  EXPECT_EQ(vhdl.vhdl_var_type, 3);
  EXPECT_EQ(vhdl.vhdl_data_type, 12);
  const auto& table = std::get<EnumTableEntry>(w.entries[4]);
  EXPECT_EQ(table.name, "state");
  EXPECT_EQ(table.handle, 9u);
  ASSERT_EQ(table.mapping.size(), 2u);
  EXPECT_EQ(table.mapping[0], (std::pair<std::string, std::string>{"0", "IDLE"}));
  EXPECT_EQ(table.mapping[1], (std::pair<std::string, std::string>{"1", "BUSY"}));
  EXPECT_EQ(std::get<EnumTableRefEntry>(w.entries[5]).handle, 9u);
  EXPECT_TRUE(std::holds_alternative<AttributeEndEntry>(w.entries[6]));
}

TEST(FstHierarchy, AttributeErrors) {
  EXPECT_EQ(walk(bytes({252, 4, 0})).error, "Unexpected attribute type");
  EXPECT_EQ(walk(bytes({252, 1, 9})).error, "Unexpected misc attribute type");
  EXPECT_EQ(walk(bytes({252, 1, 0})).error, "not yet implemented: ARRAY attributes");
  EXPECT_EQ(walk(bytes({252, 2, 0})).error, "not yet implemented: ENUM attributes");
  EXPECT_EQ(walk(bytes({252, 3, 0})).error, "not yet implemented: PACK attributes");
  EXPECT_EQ(walk(bytes({252, 0, 1, 0, 0})).error, "not yet implemented: EnvVar Attribute");
  EXPECT_EQ(walk(bytes({252, 0, 6, 0, 0})).error, "not yet implemented: ValueList Attribute");
  EXPECT_EQ(walk(bytes({252, 0, 8, 0, 0})).error, "not yet implemented: unknown Attribute");
  EXPECT_EQ(walk(bytes({252, 0, 4, 1, 5, 0})).error, "expected to be zero terminated!");
  EXPECT_EQ(parse_misc_attribute("t", 2, 6 << 10, 0).error().message(), "Unexpected vhdl variable type");
  EXPECT_EQ(parse_misc_attribute("t", 2, 17, 0).error().message(), "Unexpected vhdl data type");
}

TEST(FstHierarchy, EnumTableTexts) {
  EXPECT_EQ(parse_enum_table("state 2 IDLE BUSY 0", 0).error().message(),
            "failed to parse an enum table string: expected 4 parts got 3\nstate 2 IDLE BUSY 0");
  EXPECT_EQ(parse_enum_table("state", 0).error().message(),
            "failed to parse an enum table string: not enough spaces\nstate");
  EXPECT_EQ(parse_enum_table("s -1", 0).error().message(), "failed to parse an integer");
  EXPECT_EQ(parse_enum_table("s 4294967296", 0).error().message(), "failed to parse an integer");
  const auto plus = parse_enum_table("s  +1\tA\n7", 0);
  ASSERT_TRUE(plus.ok());
  EXPECT_EQ(plus.value().mapping[0], (std::pair<std::string, std::string>{"7", "A"}));
}

TEST(FstHierarchy, EachBlockCompressionReadsTheSameEntries) {
  Buf entries = scope_entry("top");
  for (int i = 0; i < 50; ++i) append(entries, var_entry(16, "sig" + std::to_string(i), 8));
  append(entries, upscope_entry());
  for (const std::uint8_t type : {4, 6, 7}) {
    Buf f = header_block(0, 0);
    append(f, geometry_block(std::vector<std::uint32_t>(50, 8)));
    append(f, hierarchy_block(entries, type));
    auto r = FstReader::open(input_of(f), false);
    ASSERT_TRUE(r.ok()) << int(type);
    int vars = 0;
    std::string last;
    const Status s = r.value().read_hierarchy([&](const FstHierarchyEntry& e) {
      if (const auto* v = std::get_if<VarEntry>(&e)) {
        ++vars;
        last = v->name;
      }
    });
    ASSERT_TRUE(s.ok()) << int(type) << " " << s.error().message();
    EXPECT_EQ(vars, 50);
    EXPECT_EQ(last, "sig49");
  }
}

TEST(FstHierarchy, CorruptBlocks) {
  Buf entries = scope_entry("top");
  append(entries, var_entry(16, "a", 1));
  for (const std::uint8_t type : {4, 6, 7}) {
    Buf f = header_block(0, 0);
    append(f, geometry_block({1}));
    Buf h = hierarchy_block(entries, type);
    h[9 + 7] ^= 0x40;  // the uncompressed length no longer matches
    append(f, h);
    auto r = FstReader::open(input_of(f), false);
    ASSERT_TRUE(r.ok());
    const Status s = r.value().read_hierarchy([](const FstHierarchyEntry&) {});
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message(), type == 4 ? "failed to decompress with zlib" : "failed to decompress with lz4");
  }
}

}  // namespace
}  // namespace velk::fst
