#include "formats/fsdb/fsdb_trace.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <new>
#include <random>
#include <string_view>

#include "io/file_bytes.h"
#include "formats/fsdb/fsdb_internal.h"

// Every allocation of this test program is counted, so the robustness test can
// check that no input makes the reader allocate without bound.
#include "support/allocation_count.h"
#include "support/bytes.h"
#include "support/fsdb_file.h"

namespace velk {
namespace {

using namespace velk::testing;
using Blob = ByteVec;

// ---- building files ---------------------------------------------------------

std::vector<std::string> numbered(std::string_view prefix, int count) {
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(std::string(prefix) + std::to_string(i));
  return out;
}

// ---- reading results ---------------------------------------------------------

LoadedTrace load(const Blob& bytes) {
  const TempFile file(bytes, ".fsdb");
  auto result = FsdbTrace::from_file(file.path());
  EXPECT_TRUE(result.ok()) << result.error().message();
  if (!result.ok()) return LoadedTrace();
  return std::move(result).value();
}

std::string load_error(const Blob& bytes) {
  const TempFile file(bytes, ".fsdb");
  const auto result = FsdbTrace::from_file(file.path());
  return result.ok() ? "<loaded>" : result.error().message();
}

std::string load_note(const Blob& bytes) {
  const TempFile file(bytes, ".fsdb");
  const auto result = FsdbTrace::from_file(file.path());
  return result.ok() ? "<loaded>" : result.error().note();
}

constexpr long long kEmpty = -1;

// The signal's value at every index: the Bits number, or kEmpty.
std::vector<long long> column(const LoadedTrace& t, std::string_view name) {
  std::vector<long long> out;
  for (std::size_t i = 0; i <= t.max_index(); ++i) {
    const SignalValue v = t.signal_value(name, i);
    EXPECT_TRUE(v.is_empty() || v.tag() == SignalValue::Tag::Bits);
    out.push_back(v.is_empty() ? kEmpty : static_cast<long long>(v.as_bits()));
  }
  return out;
}

std::vector<std::string> names_of(const LoadedTrace& t) { return {t.signal_names().begin(), t.signal_names().end()}; }
std::vector<std::string> scopes_of(const LoadedTrace& t) { return t.scopes(); }

using Times = std::vector<std::uint64_t>;
using Column = std::vector<long long>;

// A file whose names are n0 .. n{count-1} (scope "top") and whose table
// blocks are `blocks`.
Blob values_file(int count, std::initializer_list<Blob> blocks) {
  FsdbFile f;
  f.stream(fsdb_name_block(numbered("top.n", count)));
  for (const Blob& b : blocks) f.table_block(b);
  return f.build();
}

// ---- errors and dispatch -------------------------------------------------------

TEST(FsdbErrorTest, ReportsUnreadableShortAndForeignFiles) {
  EXPECT_EQ(load_error(Blob(11, 0)), "FSDB file too small");
  EXPECT_EQ(load_note(Blob(11, 0)), "unexpected end of file at byte 11 reading the header");
  EXPECT_EQ(load_note({0, 0, 0, 0, 0x00, 0x00, 0x12, 0xAB, 0, 0, 0, 0}), "at byte 4 reading the magic number");
  EXPECT_EQ(load_error({0, 0, 0, 0, 0x00, 0x00, 0x12, 0xAB, 0, 0, 0, 0}), "Not an FSDB file (magic=0x000012AB)");
  EXPECT_EQ(load_error(cat({Blob(4, 0), {0xDE, 0xAD, 0xBE, 0xEF}, Blob(500, 0)})),
            "Not an FSDB file (magic=0xDEADBEEF)");
  const std::string missing = (std::filesystem::temp_directory_path() / "velk_fsdb_missing.fsdb").string();
  const auto result = FsdbTrace::from_file(missing);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message(), "Failed to read " + missing + ": " + os_error_text(ENOENT));
}

TEST(FsdbErrorTest, BareNewerHeaderLoadsEmpty) {
  const LoadedTrace t = load(FsdbFile().build());
  EXPECT_TRUE(t.signal_names().empty());
  EXPECT_TRUE(t.scopes().empty());
  EXPECT_EQ(t.timestamps, Times{0});
  const LoadedTrace twelve = load(Blob{0, 0, 0, 0, 0x1C, 0x3E, 0xD9, 0x48, 0, 0, 0, 0});
  EXPECT_EQ(twelve.timestamps, Times{0});
}

// ---- names -------------------------------------------------------------------------

TEST(FsdbNameTest, FilterKeepsDottedIdentifiersOnly) {
  const Blob bytes = cat({nul_strings({"top.u1.clk", "top..clk", ".top", "top.", "top.1x", "a-b", "run.log",
                                   "simv.daidir", "0xab", "0Xab", "_x", "a", "bus[3:0]", "$root", "a b",
                                   "top.tcl_x", "x.fsdbx", "csrcx", "A$b:c", "f(x)", "a=b", "a/b", "a"}),
                          text_bytes("abc"), Blob{0x01}, text_bytes("zzz")});
  EXPECT_EQ(fsdb::extract_identifiers(bytes),
            (std::vector<std::string>{"top.u1.clk", "_x", "a", "bus[3:0]", "A$b:c", "a"}));
}

TEST(FsdbNameTest, LegacyFileTakesNamesAfterItsHeader) {
  Blob bytes = FsdbFile(fsdb::kLegacyMagic).build();
  bytes.resize(272);
  const Blob hidden = nul_strings({"hidden"});
  std::copy(hidden.begin(), hidden.end(), bytes.begin() + 100);
  bytes = cat({bytes, nul_strings({"top.u1.clk", "top.u1.rst", "top.u1.clk", "top.x..y"})});
  const LoadedTrace t = load(bytes);
  EXPECT_EQ(names_of(t), (std::vector<std::string>{"top.u1.clk", "top.u1.rst"}));
  EXPECT_EQ(scopes_of(t), (std::vector<std::string>{"top", "top.u1"}));
  EXPECT_EQ(t.timestamps, Times{0});
  EXPECT_EQ(t.signal_width("top.u1.rst"), 1u);
  EXPECT_TRUE(t.signal_value("top.u1.clk", 0).is_empty());
  EXPECT_EQ(t.signal_id("top.u1.rst"), 1u);

  Blob short_file = FsdbFile(fsdb::kLegacyMagic).build();
  short_file.resize(200);
  std::copy(hidden.begin(), hidden.end(), short_file.begin() + 50);
  const LoadedTrace s = load(short_file);
  EXPECT_TRUE(s.signal_names().empty());
  EXPECT_EQ(s.max_index(), 0u);
  EXPECT_EQ(s.timestamp(0), 0u);
}

TEST(FsdbNameTest, SourcesAreReadLargeThenEightCThenSmall) {
  auto large = numbered("top.l", 12);
  large.push_back("top.s0");  // a repeat keeps its first place
  auto eight_c = fsdb_name_block(numbered("top.e", 6), 6);
  eight_c = cat({eight_c, Blob{0x01, 0x38, 0x43, 0x01}});
  const Blob bytes = FsdbFile()
                         .stream(fsdb_name_block(numbered("top.s", 3), 3))
                         .stream(fsdb_name_block({"top.noise0", "top.noise1", "simv"}, 3))
                         .stream(eight_c)
                         .stream(cat({nul_strings({"top.t1"}), Blob{0x21, 0x00, 0x00}}))
                         .stream(fsdb_name_block(large, 13))
                         .build();
  const LoadedTrace t = load(bytes);
  std::vector<std::string> expected = numbered("top.l", 12);
  expected.push_back("top.s0");
  for (const auto& n : numbered("top.e", 6)) expected.push_back(n);
  expected.push_back("top.s1");
  expected.push_back("top.s2");
  EXPECT_EQ(names_of(t), expected);
  EXPECT_EQ(scopes_of(t), (std::vector<std::string>{"top"}));
  EXPECT_EQ(t.timestamps, Times{0});
  EXPECT_TRUE(t.signal_value("top.l0", 0).is_empty());  // no data blocks, no values
}

TEST(FsdbNameTest, TablesOfSmallNumbersAreNotNameSources) {
  Blob words(8, 0xEE);
  for (int i = 0; i < 4; ++i) words = cat({words, Blob{0x05, 0x00, 0x00, 0xAA}});
  Blob triples;
  for (int i = 0; i < 6; ++i) triples = cat({triples, Blob{0x01, 0xEE, 0x41}});
  const Blob bytes = FsdbFile()
                         .stream(cat({words, fsdb_name_block(numbered("top.w", 12))}))
                         .stream(cat({triples, fsdb_name_block(numbered("top.t", 12))}))
                         .stream(fsdb_name_block(numbered("top.ok", 3), 3))
                         .build();
  EXPECT_EQ(names_of(load(bytes)), numbered("top.ok", 3));
}

TEST(FsdbNameTest, ScanStopsAfterTwentyStreams) {
  FsdbFile f;
  for (int i = 0; i < 21; ++i) f.stream(fsdb_name_block(numbered("top.b" + std::to_string(i) + "_", 3), 3));
  const LoadedTrace t = load(f.build());
  ASSERT_EQ(t.signal_names().size(), 60u);
  EXPECT_EQ(t.signal_names().back(), "top.b19_2");
  EXPECT_FALSE(t.signal_id("top.b20_0"));
}

TEST(FsdbNameTest, TailFallbackReadsStringGroups) {
  FsdbFile f;
  f.append(Blob(5000, 0x00));
  f.append(cat({Blob{0x02}, nul_strings({"top.x", "top.y", "bad-name", "1abc", "a..b"}), Blob{0x05}}));
  f.append(cat({Blob{0x04, 0x02}, nul_strings({"skip.me"})}));
  f.append(cat({Blob{0x00, 0x02}, text_bytes("top.r"), Blob{0x05, 0x02}, nul_strings({"top.z", "top.x"})}));
  f.append(cat({Blob{0x02}, text_bytes("top.q")}));  // runs into the end of the file
  EXPECT_EQ(names_of(load(f.build())), (std::vector<std::string>{"top.x", "top.y", "a..b", "top.z"}));

  Blob small(3000, 0);
  small = cat({small, Blob{0x02}, nul_strings({"top.x"})});
  EXPECT_TRUE(fsdb::tail_fallback_names(small).empty());  // the file is not longer than 4096 bytes
}

// ---- widths ---------------------------------------------------------------------

const Blob kWidthRecords = {0x01, 0x00, 0x78,              // 16
                            0x01, 0x00, 0x43, 0xAA, 0xBB,  // 8, two extra bytes
                            0x02, 0x01, 0x01, 0x01,        // skipped
                            0x01, 0x00, 0x6A,              // 2
                            0x05,                          // skipped
                            0x01, 0x00, 0x7D,              // 32
                            0x01, 0x00, 0x30,              // 1
                            0x21,                          // end
                            0x01, 0x00, 0x78};

TEST(FsdbWidthTest, RecordsSetWidthsInNameOrder) {
  const LoadedTrace t = load(FsdbFile().stream(fsdb_name_block(numbered("top.n", 7))).widths(kWidthRecords).build());
  std::vector<std::uint32_t> widths;
  for (const auto& n : numbered("top.n", 7)) widths.push_back(t.signal_width(n));
  EXPECT_EQ(widths, (std::vector<std::uint32_t>{16, 8, 2, 32, 1, 1, 1}));
}

TEST(FsdbWidthTest, BadTablesLeaveWidthsAtOne) {
  const auto all_one = [](const Blob& bytes) {
    const LoadedTrace t = load(bytes);
    EXPECT_EQ(t.signal_names().size(), 3u);
    for (const auto& n : t.signal_names()) EXPECT_EQ(t.signal_width(n), 1u) << n;
  };
  const Blob good = FsdbFile().stream(fsdb_name_block(numbered("top.n", 3), 3)).widths(kWidthRecords).build();
  all_one(FsdbFile().gate(85).stream(fsdb_name_block(numbered("top.n", 3), 3)).widths(kWidthRecords).build());

  const std::uint32_t w = *read_u32_le(good, 272);
  const std::uint32_t n = *read_u32_le(good, w);
  Blob truncated = good;
  put_le32(truncated, w, n - 6);  // the stream stops before its end
  all_one(truncated);
  Blob too_long = good;
  put_le32(too_long, w, static_cast<std::uint32_t>(good.size()));
  all_one(too_long);
  Blob corrupt = good;
  corrupt[w + 6] ^= 0xFF;
  all_one(corrupt);

  // A table that inflates a thousandfold past the file's inflate budget (16
  // MiB for a small file) stops there instead of inflating to its end.
  Blob bomb_records = kWidthRecords;
  bomb_records.resize(std::size_t{17} << 20, 0x02);
  all_one(FsdbFile().stream(fsdb_name_block(numbered("top.n", 3), 3)).widths(bomb_records).build());
}

// ---- zlib -----------------------------------------------------------------------

TEST(FsdbZlibTest, InflatesOneBoundedStream) {
  EXPECT_FALSE(fsdb::try_zlib_decompress(Blob{0x78}));
  EXPECT_FALSE(fsdb::try_zlib_decompress(Blob{0x78, 0x9C}));  // header only: no output
  EXPECT_FALSE(fsdb::try_zlib_decompress(Blob{0x78, 0x9C, 0xFF, 0xFF, 0x00}));

  const Blob raw = text_bytes("hello, waveform");
  const Blob z = zlib_compress(raw);
  const auto one = fsdb::try_zlib_decompress(cat({z, text_bytes("trailing bytes")}));
  ASSERT_TRUE(one);
  EXPECT_EQ(one->bytes, raw);
  EXPECT_EQ(one->consumed, z.size());

  const auto big = fsdb::try_zlib_decompress(zlib_compress(Blob(3 << 20, 0x5A)));
  ASSERT_TRUE(big);
  EXPECT_EQ(big->bytes.size(), std::size_t{1} << 20);
  EXPECT_EQ(big->bytes.back(), 0x5A);
}

TEST(FsdbZlibTest, ScanGivesUpAfterManyFailedStarts) {
  const Blob stream = zlib_compress(text_bytes("payload"));
  const auto with_failures = [&](std::size_t n) {
    Blob bytes;
    for (std::size_t i = 0; i < n; ++i) bytes.insert(bytes.end(), {0x78, 0x9C, 0xFF});
    return cat({bytes, stream});
  };
  EXPECT_EQ(fsdb::scan_zlib_blocks(with_failures(65535)).size(), 1u);
  EXPECT_TRUE(fsdb::scan_zlib_blocks(with_failures(65536)).empty());
}

// A file may keep at most 128 inflated bytes per file byte (16 MiB at least):
// a table whose entries all point at one stream cannot multiply it.
TEST(FsdbZlibTest, TableBlocksStopAtTheInflatedBudget) {
  const Blob z = zlib_compress(Blob(2 << 20, 0));
  Blob data = cat({Blob(16, 0), z});
  std::vector<fsdb::TableEntry> entries;
  for (std::uint32_t i = 0; i < 300; ++i) entries.push_back({16, static_cast<std::uint32_t>(z.size()) + i});
  const auto blocks = fsdb::inflate_table_blocks(data, entries);
  EXPECT_EQ(blocks.size(), 16u);
  EXPECT_EQ(blocks.front().size(), std::size_t{1} << 20);
  EXPECT_EQ(fsdb::inflated_budget(data.size()), std::uint64_t{16} << 20);
  EXPECT_EQ(fsdb::inflated_budget(std::size_t{1} << 20), std::uint64_t{128} << 20);
}

// ---- block table ------------------------------------------------------------------

TEST(FsdbTableTest, EntriesAreCheckedAndRepeatsDropped) {
  FsdbFile f;
  f.append(Blob(8, 0));
  const std::size_t a = f.append(zlib_compress(fsdb_data_block({0, 0, 0, 0}, {0x01, 0x05})));  // n0 = 5 at 10
  const std::size_t b = f.append(zlib_compress(fsdb_data_block({0, 0, 0, 0}, {0x01, 0x06})));  // n0 = 6 at 10
  const std::uint32_t a_size = static_cast<std::uint32_t>(b - a);
  const Blob bytes = f.stream(fsdb_name_block({"top.n0"}, 3))
                         .table_entry(0, 50)
                         .table_entry(0xFFFFFFF0u, 50)
                         .table_entry(static_cast<std::uint32_t>(a), a_size)
                         .table_entry(static_cast<std::uint32_t>(b), 0xFFFFFFFFu)  // size clamped to the file
                         .table_entry(static_cast<std::uint32_t>(a), a_size)       // repeat: not applied again
                         .build();
  const auto tables = fsdb::read_header_tables(bytes);
  ASSERT_EQ(tables.entries.size(), 2u);
  const LoadedTrace t = load(bytes);
  EXPECT_EQ(t.timestamps, (Times{0, 10}));
  EXPECT_EQ(column(t, "top.n0"), (Column{0, 6}));
}

TEST(FsdbTableTest, TableNearTheEndOrBehindTheGateIsIgnored) {
  Blob bytes = FsdbFile().table_entry(410, 10).build();
  EXPECT_EQ(fsdb::read_header_tables(bytes).entries.size(), 1u);
  put_le32(bytes, 264, static_cast<std::uint32_t>(bytes.size() - 24));
  EXPECT_TRUE(fsdb::read_header_tables(bytes).entries.empty());
  Blob gated = FsdbFile().gate(85).table_entry(410, 10).build();
  EXPECT_TRUE(fsdb::read_header_tables(gated).entries.empty());
  Blob counted = FsdbFile().table_entry(410, 10).build();
  counted[*read_u32_le(counted, 264) + 22] = 0xFF;  // claims 255 entries, the file holds one
  EXPECT_EQ(fsdb::read_header_tables(counted).entries.size(), 1u);
}

// ---- values -------------------------------------------------------------------------

TEST(FsdbValueTest, CodesInitialValueTimedPairsAndOffsets) {
  // Header numbers: no pair limit, X = 7, step = 2 * 5 + 5.
  const Blob region = {0x02, 0x07, 0x85, 0x00, 0x01, 0x09, 0x41, 0x00, 0x00, 0x05};
  const Blob codes = cat({{0x01, 0x0A, 0x05, 0x2A, 0x27, 0x38, 0x05}, kFsdbCodeEnd});
  const LoadedTrace t = load(values_file(7, {fsdb_data_block({1, 2, 3, 0, 7, 2}, region, codes)}));
  EXPECT_EQ(t.timestamps, (Times{0, 15, 16, 20, 30, 31, 35}));
  EXPECT_EQ(column(t, "top.n0"), (Column{0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(column(t, "top.n1"), (Column{10, 10, 10, 10, 10, 10, 10}));
  EXPECT_EQ(column(t, "top.n2"), (Column{42, 42, 42, 42, 42, 42, 42}));
  EXPECT_EQ(column(t, "top.n3"), (Column{0, 7, 7, 7, 7, 7, 7}));   // X at step
  EXPECT_EQ(column(t, "top.n4"), (Column{0, 7, 7, 7, 5, 5, 5}));   // timed pairs, the later wins at 30
  EXPECT_EQ(column(t, "top.n5"), (Column{0, 0, 0, 7, 7, 7, 5}));   // pairs shifted by 5
  EXPECT_EQ(column(t, "top.n6"), (Column{0, 0, 1, 1, 1, 1, 1}));   // low bits shifted by 1
  EXPECT_EQ(scopes_of(t), (std::vector<std::string>{"top"}));
}

TEST(FsdbValueTest, InitialValueWithoutCodesAndWrappingStep) {
  // V[5] * 5 + 5 wraps to 4.
  const LoadedTrace t = load(values_file(2, {fsdb_data_block({0, 0, 0, 0, 9, 0x3333333333333333ull}, {})}));
  EXPECT_EQ(t.timestamps, (Times{0, 4}));
  EXPECT_EQ(column(t, "top.n1"), (Column{0, 9}));
  // A ten-byte number keeps only its low 64 bits: all ones, so the step wraps to 0.
  Blob all_ones(9, 0xFF);
  all_ones.push_back(0x7F);
  const Blob block = cat({uleb128(0), uleb128(0), uleb128(0), uleb128(0), uleb128(3), all_ones, kFsdbHeaderMark});
  const LoadedTrace w = load(values_file(2, {block}));
  EXPECT_EQ(w.timestamps, Times{0});
  EXPECT_EQ(column(w, "top.n1"), Column{3});
}

TEST(FsdbValueTest, PairLimitFromTheFourthNumber) {
  const Blob region = {0x01, 0x01, 0x01, 0x02, 0x01, 0x03, 0x01, 0x04};
  const LoadedTrace t = load(values_file(1, {fsdb_data_block({0, 0, 0, 3}, region)}));
  EXPECT_EQ(t.timestamps, (Times{0, 10, 20, 30}));
  EXPECT_EQ(column(t, "top.n0"), (Column{0, 1, 2, 3}));
}

TEST(FsdbValueTest, RegionIsCutAtFillAndEndMarks) {
  const Blob filled = {0x01, 0x07, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x09};
  const LoadedTrace t = load(values_file(1, {fsdb_data_block({0, 0, 0, 0}, filled)}));
  EXPECT_EQ(t.timestamps, (Times{0, 10}));
  EXPECT_EQ(column(t, "top.n0"), (Column{0, 7}));
  const LoadedTrace e = load(values_file(1, {fsdb_data_block({0, 0, 0, 0}, cat({{0x01, 0x07}, kFsdbEndMark, {0x01, 0x09}}))}));
  EXPECT_EQ(column(e, "top.n0"), (Column{0, 7}));
}

// Offset records repeat every timed pair for another signal, so a small block
// can describe names x pairs events; decoding stops at the budget it is given.
TEST(FsdbValueTest, EventsAreCappedByTheBudget) {
  Blob region;
  for (int i = 0; i < 2000; ++i) region.insert(region.end(), {0x01, 0x05});
  for (int i = 0; i < 3000; ++i) region.insert(region.end(), {0x81, 0x81});
  const Blob block = fsdb_data_block({0, 0, 0, 0}, region);
  const auto all = fsdb::decode_data_block(block, 3000);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 2000u * 3000u);
  const auto capped = fsdb::decode_data_block(block, 3000, 12345);
  ASSERT_TRUE(capped);
  EXPECT_EQ(capped->size(), 12345u);
  EXPECT_TRUE(std::equal(capped->begin(), capped->end(), all->begin(), [](const auto& a, const auto& b) {
    return a.time == b.time && a.signal == b.signal && a.value == b.value;
  }));
  fsdb::ValueGrid grid;
  EXPECT_EQ(grid.cells_after(*capped, 3000), 3000u * (1u + 12345u));
}

// The file's event budget: 8 events per file byte, at least 4 Ki. A block
// of a thousand timed pairs and twenty offset records compresses to a few
// dozen bytes but describes 21,000 events; in a file of under a kilobyte the
// later offset signals get none, while the same block in a file whose size
// justifies them loads whole.
TEST(FsdbValueTest, EventsAreCappedByTheFileSize) {
  Blob region;
  for (int i = 0; i < 1000; ++i) region.insert(region.end(), {0x01, 0x05});
  for (int i = 0; i < 20; ++i) region.insert(region.end(), {0x81, 0x81});
  const Blob block = fsdb_data_block({0, 0, 0, 0}, region);
  const auto file_of = [&](std::size_t padding) {
    FsdbFile f;
    f.stream(fsdb_name_block(numbered("top.n", 21)));
    f.append(Blob(padding, 0));
    f.table_block(block);
    return f.build();
  };
  const Blob small = file_of(0);
  ASSERT_LT(small.size() * 8, 21000u);
  const LoadedTrace cut = load(small);
  const std::size_t last = cut.timestamps.size() - 1;
  EXPECT_EQ(cut.signal_value("top.n0", last).as_bits(), 5u);
  EXPECT_EQ(cut.signal_value("top.n20", last).as_bits(), 0u);  // past the budget

  const Blob large = file_of(2500);
  ASSERT_GE(large.size() * 8, 21000u);
  const LoadedTrace whole = load(large);
  EXPECT_EQ(whole.signal_value("top.n20", whole.timestamps.size() - 1).as_bits(), 5u);
}

// Mode 1: chunks split at 08, the last chunk describing a clock on signal 0.
Blob mode1_block(std::uint8_t half_byte) {
  const Blob region = {0x01, 0x0A, 0x02, 0x0B, 0x09,  // 0 -> 10, 20 -> 11, left over: 30 -> 9
                       0x08, 0x00, 0x0D, 0x03, 0x0C, 0x05,  // 30 -> 13, 50 -> 12
                       0x08, 0x40, 0x00, half_byte, 0x30};
  return fsdb_data_block({0, 0, 0, 0}, region, cat({{0x41, 0x42}, kFsdbCodeEnd}));
}

TEST(FsdbValueTest, ChunksAndClockTrailer) {
  const LoadedTrace t = load(values_file(5, {mode1_block(4)}));
  EXPECT_EQ(t.timestamps, (Times{0, 10, 20, 30, 40, 50, 60}));
  EXPECT_EQ(column(t, "top.n0"), (Column{0, 1, 0, 1, 0, 1, 0}));
  EXPECT_EQ(column(t, "top.n1"), (Column{0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41}));
  EXPECT_EQ(column(t, "top.n2"), (Column{0x42, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42}));
  EXPECT_EQ(column(t, "top.n3"), (Column{10, 10, 11, 13, 13, 12, 12}));
  EXPECT_EQ(column(t, "top.n4"), (Column{0, 0, 0, 0, 0, 0, 0}));
}

TEST(FsdbValueTest, ClockWithoutHalfPeriodOrWithTooManyEdgesIsSkipped) {
  const LoadedTrace t = load(values_file(5, {mode1_block(0)}));
  EXPECT_EQ(t.timestamps, (Times{0, 20, 30, 50}));
  EXPECT_EQ(column(t, "top.n0"), (Column{0, 0, 0, 0}));
  EXPECT_EQ(column(t, "top.n3"), (Column{10, 11, 13, 12}));

  // 3400 pairs reach time 2,141,990; a half period of 2 would need over 2^20 edges.
  Blob chunk;
  for (int i = 0; i < 3400; ++i) chunk.insert(chunk.end(), {0x3F, 0x07});
  const Blob region = cat({chunk, {0x08, 0x40, 0x00, 0x01, 0x31}});
  const LoadedTrace many = load(values_file(2, {fsdb_data_block({0, 0, 0, 0}, region)}));
  EXPECT_EQ(many.timestamps.size(), 3401u);
  EXPECT_EQ(many.timestamps.back(), 2141990u);
  EXPECT_EQ(many.signal_value("top.n0", 3400).as_bits(), 7u);  // a clock edge would have overwritten it
}

TEST(FsdbValueTest, CodeListStopsAndFillMarker) {
  // The region ends in FF, so the first long code adds FF once.
  const Blob codes = cat({{0x90, 0x01, 0x85, 0x00, 0x0B}, kFsdbCodeEnd});
  const LoadedTrace t = load(values_file(4, {fsdb_data_block({0, 0, 0, 0}, {0x01, 0xFF}, codes)}));
  EXPECT_EQ(t.timestamps, (Times{0, 10}));
  EXPECT_EQ(column(t, "top.n1"), (Column{255, 255}));
  EXPECT_EQ(column(t, "top.n2"), (Column{11, 11}));
  EXPECT_EQ(column(t, "top.n3"), (Column{0, 255}));

  const auto first_code_only = [](const Blob& codes) {
    const LoadedTrace c = load(values_file(3, {fsdb_data_block({0, 0, 0, 0}, {}, codes)}));
    EXPECT_EQ(column(c, "top.n1"), Column{12});
    EXPECT_EQ(column(c, "top.n2"), Column{0});
  };
  first_code_only({0x0C, 0x01, 0x05, 0x38, 0x0D});
  first_code_only(cat({{0x0C}, kFsdbEndMark, {0x0D}}));
  first_code_only({0x0C, 0x00, 0x00, 0x00, 0x0D});
}

TEST(FsdbValueTest, EndMarkBlocksReadFourLeadingNumbers) {
  const Blob block = cat({{0x01, 0x02, 0x03, 0x00}, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x99}, {0x01, 0x07, 0x02, 0x09},
                          kFsdbEndMark});
  const LoadedTrace t = load(values_file(1, {block}));
  EXPECT_EQ(t.timestamps, (Times{0, 10, 30}));
  EXPECT_EQ(column(t, "top.n0"), (Column{0, 7, 9}));

  // Numbers that end less than six bytes before the end: the block is skipped.
  Blob long_numbers;
  for (int i = 0; i < 4; ++i) long_numbers = cat({long_numbers, Blob(9, 0x80), {0x00}});
  EXPECT_EQ(column(load(values_file(1, {cat({long_numbers, kFsdbEndMark})})), "top.n0"), Column{kEmpty});
  // Exactly six bytes left: an empty region, still a data block.
  EXPECT_EQ(column(load(values_file(1, {cat({{1, 2, 3, 4}, kFsdbEndMark, {0, 0}})})), "top.n0"), Column{0});
  // Short blocks and blocks without either mark are not data blocks.
  EXPECT_EQ(column(load(values_file(1, {{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}})), "top.n0"), Column{kEmpty});
  EXPECT_EQ(column(load(values_file(1, {Blob(64, 0x01)})), "top.n0"), Column{kEmpty});
}

TEST(FsdbValueTest, ScannedDataBlocksCountOnlyWithoutATable) {
  const Blob eight_c = fsdb_data_block({0, 0, 0, 0}, {0x01, 0x05});
  const Blob end_c1 = cat({{0x01, 0x02, 0x03, 0x00}, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x99}, {0x03, 0x07}, kFsdbEndMark,
                           {0x00, 0x00, 0x00, 0x01}});
  const Blob names = fsdb_name_block({"top.n0"}, 3);
  const LoadedTrace t = load(FsdbFile().stream(names).stream(eight_c).stream(end_c1).build());
  EXPECT_EQ(t.timestamps, (Times{0, 10, 20}));
  EXPECT_EQ(column(t, "top.n0"), (Column{0, 5, 7}));

  const LoadedTrace tabled =
      load(FsdbFile().stream(names).stream(eight_c).stream(end_c1).table_entry(1, 4).build());
  EXPECT_EQ(tabled.timestamps, Times{0});
  EXPECT_EQ(column(tabled, "top.n0"), Column{kEmpty});
}

TEST(FsdbValueTest, EightCBlockWithManyStringsGivesNamesAndValues) {
  const Blob block = fsdb_data_block({0, 0, 0, 0}, {0x01, 0x05}, cat({kFsdbCodeEnd, fsdb_name_block(numbered("top.m", 6), 6)}));
  const LoadedTrace t = load(FsdbFile().stream(block).table_entry(1, 4).build());
  // The code mark 44 00 63 00 reads as the strings "D" and "c", which pass the
  // name filter and come first.
  std::vector<std::string> expected = {"D", "c"};
  for (const auto& n : numbered("top.m", 6)) expected.push_back(n);
  EXPECT_EQ(names_of(t), expected);
  EXPECT_EQ(column(t, "D"), (Column{0, 5}));
  EXPECT_EQ(column(t, "top.m5"), (Column{0, 0}));
}

TEST(FsdbValueTest, LaterBlocksKeepEarlierValuesAtTheirTimes) {
  // Block 1: n0 = 5 at 10 (n1 stays 0). Block 2: n1 = 7 at the new time 5.
  const Blob first = fsdb_data_block({0, 0, 0, 0}, {0x01, 0x05});
  const Blob second = fsdb_data_block({0, 0, 0, 0, 7, 0}, {});
  const LoadedTrace t = load(values_file(2, {first, second}));
  EXPECT_EQ(t.timestamps, (Times{0, 5, 10}));
  EXPECT_EQ(column(t, "top.n1"), (Column{0, 7, 0}));
  EXPECT_EQ(column(t, "top.n0"), (Column{0, 0, 5}));

  // A later block that rewrites time 0 leaves the slot at 10 as it was.
  const Blob rewrite = fsdb_data_block({0, 0, 0, 0}, {}, cat({{0x09}, kFsdbCodeEnd}));
  const LoadedTrace r = load(values_file(2, {first, rewrite}));
  EXPECT_EQ(r.timestamps, (Times{0, 10}));
  EXPECT_EQ(column(r, "top.n1"), (Column{9, 0}));
  EXPECT_EQ(column(r, "top.n0"), (Column{0, 5}));

  // The later block's value at an existing time wins.
  const LoadedTrace w = load(values_file(1, {first, fsdb_data_block({0, 0, 0, 0}, {0x01, 0x06})}));
  EXPECT_EQ(column(w, "top.n0"), (Column{0, 6}));
}

TEST(FsdbValueTest, InsertedTimesFillFromTheNewNeighbourBefore) {
  // Block 1: n0 = 1 at 10 and 3 at 40. Block 2: n0 = 2 at 20, n1 = 2 at 25 (the pair shifted by 5).
  const Blob first = fsdb_data_block({0, 0, 0, 0}, {0x01, 0x01, 0x03, 0x03});
  const Blob second = fsdb_data_block({0, 0, 0, 0}, {0x03, 0x02, 0x85, 0x00});
  const LoadedTrace t = load(values_file(2, {first, second}));
  EXPECT_EQ(t.timestamps, (Times{0, 10, 20, 25, 40}));
  EXPECT_EQ(column(t, "top.n0"), (Column{0, 1, 2, 2, 3}));
  EXPECT_EQ(column(t, "top.n1"), (Column{0, 0, 0, 2, 0}));
}

// The grid against the plain dense model it stands for: every block inserts an
// empty slot at each new time in every column, stores its events in order,
// starts named signals at 0 and forward-fills.
class DenseModel {
 public:
  explicit DenseModel(std::size_t columns) : columns_(columns, std::vector<std::optional<std::uint64_t>>(1)) {}

  void apply(const std::vector<fsdb::Event>& events, std::size_t name_count) {
    for (const auto& e : events) insert_time(e.time);
    for (const auto& e : events) columns_[e.signal][index_of(e.time)] = e.value;
    for (std::size_t s = 0; s < name_count; ++s) {
      if (!columns_[s][0]) columns_[s][0] = 0;
    }
    for (auto& c : columns_) {
      for (std::size_t i = 1; i < c.size(); ++i) {
        if (!c[i] && c[i - 1]) c[i] = c[i - 1];
      }
    }
  }
  const Times& times() const { return times_; }
  Column column(std::size_t s) const {
    Column out;
    for (const auto& v : columns_[s]) out.push_back(v ? static_cast<long long>(*v) : kEmpty);
    return out;
  }

 private:
  std::size_t index_of(std::uint64_t t) const {
    return static_cast<std::size_t>(std::lower_bound(times_.begin(), times_.end(), t) - times_.begin());
  }
  void insert_time(std::uint64_t t) {
    const std::size_t at = index_of(t);
    if (at < times_.size() && times_[at] == t) return;
    times_.insert(times_.begin() + static_cast<std::ptrdiff_t>(at), t);
    for (auto& c : columns_) c.insert(c.begin() + static_cast<std::ptrdiff_t>(at), std::nullopt);
  }

  Times times_{0};
  std::vector<std::vector<std::optional<std::uint64_t>>> columns_;
};

TEST(FsdbValueTest, GridMatchesDenseSlotInsertion) {
  std::mt19937_64 rng(99);
  for (int round = 0; round < 300; ++round) {
    const std::size_t names = rng() % 5;            // 0 names: only signal 0 gets events, as a clock would
    const std::size_t columns = names == 0 ? 1 : names;
    fsdb::ValueGrid grid;
    DenseModel model(columns);
    for (std::size_t b = 0, blocks = 1 + rng() % 4; b < blocks; ++b) {
      std::vector<fsdb::Event> events(rng() % 8);
      for (auto& e : events) e = {rng() % 12 * 5, static_cast<std::uint32_t>(rng() % columns), rng() % 4};
      grid.apply_block(events, names);
      model.apply(events, names);
    }
    LoadedTrace t;
    grid.store_into(t);
    ASSERT_EQ(t.timestamps, model.times()) << "round " << round;
    for (std::uint32_t s = 0; s < columns; ++s) {
      Column got;
      for (std::size_t i = 0; i < t.timestamps.size(); ++i) {
        const SignalValue v = t.store.get(s, i);
        got.push_back(v.is_empty() ? kEmpty : static_cast<long long>(v.as_bits()));
      }
      ASSERT_EQ(got, model.column(s)) << "round " << round << " signal " << s;
    }
  }
}

// ---- robustness --------------------------------------------------------------------

const Blob kEndC1Block = cat({{0x01, 0x02, 0x03, 0x00}, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x99}, {0x03, 0x07}, kFsdbEndMark,
                             {0x00, 0x00, 0x00, 0x01}});

std::vector<Blob> raw_data_blocks() {
  const Blob region = {0x02, 0x07, 0x85, 0x00, 0x01, 0x09, 0x41, 0x00, 0x00, 0x05};
  return {mode1_block(4), mode1_block(0),
          fsdb_data_block({1, 2, 3, 0, 7, 2}, region, cat({{0x01, 0x0A, 0x05, 0x2A, 0x90, 0x01}, kFsdbCodeEnd})),
          fsdb_data_block({0, 0, 0, 3}, {0x01, 0x01, 0x01, 0x02, 0xFF}), kEndC1Block};
}

std::vector<Blob> seed_files() {
  std::vector<Blob> seeds;
  FsdbFile full;
  full.stream(fsdb_name_block(numbered("top.u.n", 12)));
  for (const Blob& b : raw_data_blocks()) full.table_block(b);
  seeds.push_back(full.widths(kWidthRecords).build());
  seeds.push_back(
      FsdbFile().stream(fsdb_name_block(numbered("top.n", 4), 4)).stream(kEndC1Block).stream(mode1_block(4)).build());
  Blob legacy = FsdbFile(fsdb::kLegacyMagic).build();
  seeds.push_back(cat({legacy, nul_strings({"top.a", "top.b.c"})}));
  FsdbFile tail;
  tail.append(Blob(4200, 0x00));
  tail.append(cat({Blob{0x02}, nul_strings({"top.x", "top.y"})}));
  seeds.push_back(tail.build());
  return seeds;
}

struct Rng {
  std::mt19937_64 gen;
  std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(gen() % n); }
  std::uint8_t byte() { return static_cast<std::uint8_t>(gen()); }
};

void mutate_once(Blob& b, Rng& rng) {
  if (b.empty()) b.push_back(rng.byte());
  const std::size_t pos = rng.below(b.size());
  switch (rng.below(6)) {
    case 0:
      b[pos] ^= static_cast<std::uint8_t>(1u << rng.below(8));
      break;
    case 1:
      for (std::size_t i = pos, end = std::min(b.size(), pos + 1 + rng.below(16)); i < end; ++i) b[i] = rng.byte();
      break;
    case 2:
      b.resize(pos);
      break;
    case 3: {
      Blob extra(1 + rng.below(32));
      for (auto& x : extra) x = rng.byte();
      b.insert(b.begin() + static_cast<std::ptrdiff_t>(pos), extra.begin(), extra.end());
      break;
    }
    case 4: {
      // Header fields and table words: random, just inside or just past the file.
      const std::size_t fields[] = {40, 264, 272, pos};
      const std::size_t at = fields[rng.below(4)];
      const auto size = static_cast<std::uint32_t>(b.size());
      const std::uint32_t choices[] = {static_cast<std::uint32_t>(rng.gen()),
                                       static_cast<std::uint32_t>(rng.below(size)), size, 0xFFFFFFFFu, 84};
      if (at + 4 <= b.size()) put_le32(b, at, choices[rng.below(5)]);
      break;
    }
    default: {
      const std::size_t from = rng.below(b.size());
      const std::size_t len = std::min(b.size() - from, 1 + rng.below(64));
      const auto first = b.begin() + static_cast<std::ptrdiff_t>(from);
      const Blob slice(first, first + static_cast<std::ptrdiff_t>(len));
      b.insert(b.begin() + static_cast<std::ptrdiff_t>(pos), slice.begin(), slice.end());
      break;
    }
  }
}

Blob mutated(Blob b, Rng& rng) {
  for (std::size_t i = 0, n = 1 + rng.below(4); i < n; ++i) mutate_once(b, rng);
  return b;
}

// Dispatches as the file loader does, without the file.
std::optional<LoadedTrace> parse(const Blob& bytes) {
  if (bytes.size() < 12) return std::nullopt;
  const std::uint32_t magic = *read_u32_be(bytes, 4);
  if (magic == fsdb::kLegacyMagic) return fsdb::parse_legacy(bytes);
  if (magic == fsdb::kModernMagic) return std::move(fsdb::parse_modern(bytes)).value();
  return std::nullopt;
}

void expect_sound(const LoadedTrace& t) {
  ASSERT_FALSE(t.timestamps.empty());
  EXPECT_EQ(t.timestamps.front(), 0u);
  EXPECT_TRUE(std::adjacent_find(t.timestamps.begin(), t.timestamps.end(),
                                 [](std::uint64_t a, std::uint64_t b) { return a >= b; }) == t.timestamps.end());
  for (const auto& name : t.signal_names()) {
    EXPECT_TRUE(t.signal_id(name).has_value()) << name;
    const std::uint32_t w = t.signal_width(name);
    EXPECT_TRUE(w == 1 || w == 2 || w == 8 || w == 16 || w == 32) << w;
    const SignalValue v = t.signal_value(name, t.max_index());
    EXPECT_TRUE(v.is_empty() || v.tag() == SignalValue::Tag::Bits);
  }
}

// Parses `bytes` and checks the result and the memory the parse needed.
void expect_parses_soundly(const Blob& bytes) {
  const std::size_t before = allocations().live_bytes.load();
  reset_peak_bytes();
  const auto t = parse(bytes);
  EXPECT_LT(allocations().peak_bytes.load() - before, std::size_t{200} << 20);
  if (t) expect_sound(*t);
}

TEST(FsdbRobustnessTest, MutatedFilesNeverBreakTheReader) {
  Rng rng{std::mt19937_64(20240611)};
  const std::vector<Blob> seeds = seed_files();
  for (const Blob& seed : seeds) expect_parses_soundly(seed);
  for (int i = 0; i < 2000; ++i) {
    expect_parses_soundly(mutated(seeds[rng.below(seeds.size())], rng));
    if (::testing::Test::HasFailure()) FAIL() << "iteration " << i;
  }
}

TEST(FsdbRobustnessTest, MutatedBlocksInsideValidStreams) {
  Rng rng{std::mt19937_64(77)};
  const std::vector<Blob> blocks = raw_data_blocks();
  for (int i = 0; i < 1500; ++i) {
    FsdbFile f;
    f.stream(fsdb_name_block(numbered("top.n", static_cast<int>(1 + rng.below(12)))));
    for (std::size_t k = 0, n = 1 + rng.below(3); k < n; ++k) {
      Blob raw = mutated(blocks[rng.below(blocks.size())], rng);
      if (rng.below(2) == 0) {
        f.table_block(raw);
      } else {
        f.stream(raw);
      }
    }
    if (rng.below(2) == 0) f.widths(mutated(kWidthRecords, rng));
    expect_parses_soundly(f.build());
    if (::testing::Test::HasFailure()) FAIL() << "iteration " << i;
  }
}

TEST(FsdbRobustnessTest, RandomBytesAndPieces) {
  Rng rng{std::mt19937_64(5)};
  for (int i = 0; i < 1000; ++i) {
    Blob b(rng.below(3000));
    for (auto& x : b) x = rng.byte();
    // Make the interesting patterns likely.
    for (std::size_t k = 0, n = rng.below(8); k < n && b.size() > 8; ++k) {
      const Blob* marks[] = {&kFsdbHeaderMark, &kFsdbCodeMark, &kFsdbEndMark};
      const Blob& m = *marks[rng.below(3)];
      const std::size_t at = rng.below(b.size() - m.size());
      std::copy(m.begin(), m.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    }
    (void)fsdb::decode_data_block(b, rng.below(40));
    (void)fsdb::classify_block(b);
    (void)fsdb::extract_identifiers(b);
    (void)fsdb::try_zlib_decompress(b);
    if (b.size() >= 12) {
      b[4] = 0x1C, b[5] = 0x3E, b[6] = 0xD9, b[7] = 0x48;
      expect_parses_soundly(b);
    }
    if (::testing::Test::HasFailure()) FAIL() << "iteration " << i;
  }
  // Through the file loader as well.
  for (int i = 0; i < 20; ++i) {
    const Blob b = mutated(seed_files()[rng.below(4)], rng);
    const TempFile file(b, ".fsdb");
    const auto r = FsdbTrace::from_file(file.path());
    if (r.ok()) expect_sound(r.value());
  }
}

}  // namespace
}  // namespace velk
