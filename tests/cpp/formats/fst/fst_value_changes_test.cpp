// Value-change sections built by hand: record formats, both offset-table
// encodings, frames, filters and structural errors.
#include <gtest/gtest.h>

#include <cstring>

#include "formats/fst/fst_reader.h"
#include "formats/fst/value_changes.h"
#include "fst_builder.h"

namespace velk::fst {
namespace {

using namespace testing;

Buf le_double(double v) {
  Buf b(8);
  std::memcpy(b.data(), &v, 8);
  return b;
}

// Signals: 1 one-bit, 2 ten-bit, 3 real, 4 shares the chain of 2.
struct Chains {
  Buf one_bit = stored_chain(bytes({0x02, 0x15, 0x04}));  // "1" @0, "h" @1, "0" @2
  Buf ten_bit;
  Buf real;
  Chains() {
    Buf t = bytes({0x00, 0xA5, 0xC0, 0x05});  // packed bits @0, characters @2
    for (char c : std::string("01xz01xz01")) t.push_back(static_cast<std::uint8_t>(c));
    ten_bit = stored_chain(t);
    Buf r{0x01};
    append(r, le_double(1.5));
    r.push_back(0x03);
    append(r, le_double(-2.0));
    real = stored_chain(r);
  }
};

Buf alias2_table(const Chains& c) {
  Buf t;
  append_sleb128(t, (1 << 1) | 1);
  append_sleb128(t, (static_cast<std::int64_t>(c.one_bit.size()) << 1) | 1);
  append_sleb128(t, (static_cast<std::int64_t>(c.ten_bit.size()) << 1) | 1);
  append_sleb128(t, (-2 * 2) | 1);  // alias of signal index 1
  return t;
}

Buf alias_table(const Chains& c) {
  Buf t;
  append_uleb128(t, (1 << 1) | 1);
  append_uleb128(t, (c.one_bit.size() << 1) | 1);
  append_uleb128(t, (c.ten_bit.size() << 1) | 1);
  append_uleb128(t, 0);
  append_uleb128(t, 2);  // alias of signal index 1
  return t;
}

Buf frame_bytes() {
  Buf f{'x'};
  for (char c : std::string("zzzzzzzzzz")) f.push_back(static_cast<std::uint8_t>(c));
  append(f, le_double(0.25));
  for (char c : std::string("zzzzzzzzzz")) f.push_back(static_cast<std::uint8_t>(c));
  return f;
}

Buf file_with(Section s) {
  Buf f = header_block(0, 100);
  append(f, section_block(s));
  append(f, geometry_block({1, 10, 0, 10}));
  Buf h = scope_entry("top");
  append(h, var_entry(16, "a", 1));
  append(f, hierarchy_block(h));
  return f;
}

Section good_section(std::uint8_t type, std::uint64_t start = 10) {
  const Chains c;
  Section s;
  s.type = type;
  s.start = start;
  s.end = 30;
  s.times = {10, 20, 30};
  s.frame = frame_bytes();
  s.frame_signals = 4;
  s.vc_signals = 4;
  s.chains = {c.one_bit, c.ten_bit, c.real};
  s.offset_table = type == 8 ? alias2_table(c) : alias_table(c);
  return s;
}

std::string describe(const FstSignalValue& v) {
  if (v.kind == FstSignalValue::Kind::Real) return std::to_string(v.real);
  return std::string(v.text);
}

Expected<std::vector<std::string>> read_all(Section s, FstFilter filter = {}) {
  auto r = FstReader::open(input_of(file_with(std::move(s))), true);
  if (!r.ok()) return r.error();
  std::vector<std::string> seen;
  const Status st = r.value().read_signals(filter, [&](std::uint64_t t, FstSignalHandle h, const FstSignalValue& v) {
    seen.push_back(std::to_string(t) + " #" + std::to_string(h.value) + " " + describe(v));
  });
  if (!st.ok()) return st.error();
  std::sort(seen.begin(), seen.end());
  return seen;
}

const std::vector<std::string> kExpected = {
    "10 #1 1",          "10 #2 1010010111", "10 #3 1.500000",   "10 #4 1010010111", "20 #1 h",
    "20 #3 -2.000000",  "30 #1 0",          "30 #2 01xz01xz01", "30 #4 01xz01xz01",
};

TEST(FstValueChanges, BothOffsetTableEncodingsGiveTheSameValues) {
  for (const std::uint8_t type : {1, 5, 8}) {
    const auto values = read_all(good_section(type));
    ASSERT_TRUE(values.ok()) << int(type) << " " << values.error().message();
    EXPECT_EQ(values.value(), kExpected) << int(type);
  }
}

TEST(FstValueChanges, FrameDeliveredWhenSectionStartsBeforeFirstTime) {
  const auto values = read_all(good_section(8, 0));
  ASSERT_TRUE(values.ok()) << values.error().message();
  std::vector<std::string> expect = {"0 #1 x", "0 #2 zzzzzzzzzz", "0 #3 0.250000", "0 #4 zzzzzzzzzz"};
  expect.insert(expect.end(), kExpected.begin(), kExpected.end());
  std::sort(expect.begin(), expect.end());
  EXPECT_EQ(values.value(), expect);
}

TEST(FstValueChanges, FilterEndAndSignalSelection) {
  FstFilter until_10;
  until_10.end = 10;
  const auto early = read_all(good_section(8), until_10);
  ASSERT_TRUE(early.ok());
  EXPECT_EQ(early.value(),
            (std::vector<std::string>{"10 #1 1", "10 #2 1010010111", "10 #3 1.500000", "10 #4 1010010111"}));
  FstFilter only_4;
  only_4.include = std::vector<FstSignalHandle>{{4}};
  const auto aliased = read_all(good_section(8), only_4);
  ASSERT_TRUE(aliased.ok());
  EXPECT_EQ(aliased.value(), (std::vector<std::string>{"10 #4 1010010111", "30 #4 01xz01xz01"}));
}

TEST(FstValueChanges, SectionWithoutTimesDeliversOnlyItsFrame) {
  Section s = good_section(8, 0);
  s.times = {};
  s.chains = {};
  s.offset_table = {};
  auto r = FstReader::open(input_of(file_with(s)), false);
  ASSERT_TRUE(r.ok());
  int count = 0;
  ASSERT_TRUE(r.value().read_signals({}, [&](std::uint64_t, FstSignalHandle, const FstSignalValue&) { ++count; }).ok());
  EXPECT_EQ(count, 4);
}

std::string signals_error(Section s) {
  const auto values = read_all(std::move(s));
  return values.ok() ? "ok" : values.error().message();
}

TEST(FstValueChanges, StructuralErrors) {
  const Chains c;
  Section alias_to_alias = good_section(8);
  alias_to_alias.offset_table = alias2_table(c);
  append_sleb128(alias_to_alias.offset_table, 0);  // not enough: rebuild below
  alias_to_alias.offset_table.clear();
  append_sleb128(alias_to_alias.offset_table, (1 << 1) | 1);
  append_sleb128(alias_to_alias.offset_table, (-1 * 2 - 2) | 1);  // index 1 aliases index 1 (itself)
  alias_to_alias.chains = {c.one_bit};
  EXPECT_EQ(signals_error(alias_to_alias),
            "internal error: entered unreachable code: aliases should always directly point to an offset");

  Section offset_zero = good_section(1);
  offset_zero.offset_table.clear();
  append_uleb128(offset_zero.offset_table, 1);  // first chain at offset 0
  EXPECT_EQ(signals_error(offset_zero), "value-change chain at offset 0");

  Section too_many = good_section(5);
  append_uleb128(too_many.offset_table, 9);  // a fifth chain for four signals
  EXPECT_EQ(signals_error(too_many), "offset table names more signals than the section holds");

  Section skip_all = good_section(5);
  skip_all.offset_table.clear();
  append_uleb128(skip_all.offset_table, 0xFFFFFFFEu);  // 2^31 - 1 signals without chains
  EXPECT_EQ(signals_error(skip_all), "offset table names more signals than the section holds");

  Section far_time = good_section(8);
  far_time.chains[0] = stored_chain(bytes({0x02, 0x15, 0x08}));  // third change two steps on
  EXPECT_EQ(signals_error(far_time), "value change past the end of the time table");

  Section packed_real = good_section(8);
  Buf r{0x00};
  append(r, le_double(1.0));
  packed_real.chains[2] = stored_chain(r);
  EXPECT_EQ(signals_error(packed_real), "not yet implemented: TODO: implement support for rare packed case");

  Section cut_record = good_section(8);
  cut_record.chains[2] = stored_chain(bytes({0x01, 0, 0, 0}));  // a real needs eight bytes
  EXPECT_EQ(signals_error(cut_record), "I/O operation failed");

  Section wrong_frame = good_section(8);
  wrong_frame.frame_signals = 3;
  EXPECT_EQ(signals_error(wrong_frame), "frame signal count differs from the geometry");

  Section huge_count = good_section(8);
  huge_count.vc_signals = std::uint64_t{1} << 40;
  EXPECT_EQ(signals_error(huge_count), "value-change signal count exceeds the geometry");
}

TEST(FstValueChanges, RecordDeltas) {
  EXPECT_EQ(read_one_bit_signal_time_delta(bytes({0x06}), 0), 1u);
  EXPECT_EQ(read_one_bit_signal_time_delta(bytes({0x05}), 0), 0u);
  EXPECT_EQ(read_one_bit_signal_time_delta(bytes({0x00, 0x1B}), 1), 1u);
  EXPECT_EQ(read_multi_bit_signal_time_delta(bytes({0x85, 0x01}), 0), 66u);
}

TEST(FstValueChanges, OffsetTableDecoding) {
  // Kind 1: chain at 1, two signals without chains, chain 5 bytes on, alias of index 0.
  Buf t;
  append_uleb128(t, 3);
  append_uleb128(t, 4);
  append_uleb128(t, 11);
  append_uleb128(t, 0);
  append_uleb128(t, 1);
  const auto chains = read_signal_locs(t, 1, 5, 20);
  ASSERT_TRUE(chains.ok());
  ASSERT_EQ(chains.value().size(), 3u);
  EXPECT_EQ(chains.value()[0].signal_index, 0u);
  EXPECT_EQ(chains.value()[0].offset, 1u);
  EXPECT_EQ(chains.value()[0].length, 5u);
  EXPECT_EQ(chains.value()[1].signal_index, 3u);
  EXPECT_EQ(chains.value()[1].offset, 6u);
  EXPECT_EQ(chains.value()[1].length, 14u);
  EXPECT_EQ(chains.value()[2].signal_index, 4u);
  EXPECT_EQ(chains.value()[2].offset, 1u);

  // Kind 2: skip two, chain at 3, repeat of the last alias (initially index 0 -> not an offset).
  Buf u;
  append_uleb128(u, 4);
  append_sleb128(u, (3 << 1) | 1);
  append_sleb128(u, 1);  // d = 0: alias of the last alias, index 0, which has no chain
  EXPECT_FALSE(read_signal_locs(u, 2, 4, 10).ok());
  Buf v;
  append_sleb128(v, (3 << 1) | 1);
  append_sleb128(v, (-1 * 2) | 1);  // d = -1: alias of index 0
  append_sleb128(v, 1);             // d = 0: same alias again
  const auto two = read_signal_locs(v, 2, 3, 10);
  ASSERT_TRUE(two.ok());
  ASSERT_EQ(two.value().size(), 3u);
  EXPECT_EQ(two.value()[2].offset, 3u);
  EXPECT_EQ(two.value()[2].length, 7u);
  Buf never_ends(12, 0x81);
  EXPECT_EQ(read_signal_locs(never_ends, 2, 3, 10).error().message(),
            "failed to read leb128 integer, more than the expected 64 bits");
}

}  // namespace
}  // namespace velk::fst
