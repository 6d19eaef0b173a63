#include "formats/wlf/wlf_trace.h"
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
using Times = std::vector<std::uint64_t>;
constexpr std::size_t kPage = wlf::kPageSize;

// Builds a WLF file page by page. Page 0 gets the header fields, three
// length-prefixed strings from offset 40 and then the name area.
class WlfBuilder {
 public:
  WlfBuilder() : bytes_(kPage, 0) {}

  void put_u16(std::size_t off, std::uint16_t v) {
    bytes_[off] = static_cast<std::uint8_t>(v >> 8);
    bytes_[off + 1] = static_cast<std::uint8_t>(v);
  }
  void put(std::size_t off, const ByteVec& b) { std::copy(b.begin(), b.end(), bytes_.begin() + off); }

  // Writes the three header strings and the names after them; sets the
  // name-area end just past the names and the expected count.
  void page0(const std::vector<std::string>& header, const Names& names, std::uint16_t expected) {
    std::size_t at = 40;
    for (const auto& s : header) {
      bytes_[at++] = static_cast<std::uint8_t>(s.size());
      put(at, ByteVec(s.begin(), s.end()));
      at += s.size();
    }
    for (const auto& n : names) {
      put(at, ByteVec(n.begin(), n.end()));
      at += n.size() + 1;
    }
    put_u16(2, static_cast<std::uint16_t>(at));
    put_u16(24, expected);
  }

  // Appends a page holding NUL-terminated names.
  void name_page(const Names& names) {
    ByteVec p(kPage, 0);
    std::size_t at = 8;
    for (const auto& n : names) {
      std::copy(n.begin(), n.end(), p.begin() + at);
      at += n.size() + 1;
    }
    bytes_.insert(bytes_.end(), p.begin(), p.end());
  }

  // Appends a value page: FF FF, the body length and the body at offset 16.
  // Filler non-zero bytes after the body lift the page over the 15-byte
  // threshold unless `fill` is false.
  void value_page(const ByteVec& body, bool fill = true, std::uint16_t length = 0) {
    ByteVec p(kPage, 0);
    p[0] = p[1] = 0xFF;
    const auto n = length ? length : static_cast<std::uint16_t>(body.size());
    p[2] = static_cast<std::uint8_t>(n >> 8);
    p[3] = static_cast<std::uint8_t>(n);
    std::copy(body.begin(), body.end(), p.begin() + 16);
    if (fill) std::fill(p.end() - 32, p.end(), 0x5A);
    bytes_.insert(bytes_.end(), p.begin(), p.end());
  }

  ByteVec& bytes() { return bytes_; }

 private:
  ByteVec bytes_;
};

LoadedTrace load(const ByteVec& bytes) {
  auto r = wlf::parse(bytes);
  EXPECT_TRUE(r.ok()) << r.error().message();
  return r.ok() ? std::move(r).value() : LoadedTrace{};
}

std::vector<std::uint64_t> values_of(const LoadedTrace& t, std::string_view name) {
  std::vector<std::uint64_t> out;
  for (const auto& v : t.signal_values_range(name, 0, t.timestamps.size())) {
    EXPECT_EQ(v.tag(), SignalValue::Tag::Bits);
    out.push_back(v.as_bits());
  }
  return out;
}

// Six names so that ids 1..5 are valid value-record ids.
const Names kSix{"top.a", "top.b", "top.c", "top.sub.d", "top.sub.e", "f_6"};

TEST(WlfReadLpstr, ReadsPrintableStringAndAdvances) {
  ByteVec d(kPage, 0);
  d[40] = 3, d[41] = 'a', d[42] = 'b', d[43] = 'c';
  std::size_t cursor = 40;
  EXPECT_EQ(wlf::read_lpstr(d, cursor), "abc");
  EXPECT_EQ(cursor, 44u);
}

TEST(WlfReadLpstr, FailuresLeaveCursorAfterLengthByte) {
  ByteVec d(kPage, 0);
  std::size_t cursor = 40;  // length 0
  EXPECT_EQ(wlf::read_lpstr(d, cursor), "");
  EXPECT_EQ(cursor, 41u);

  d[50] = 3, d[51] = 'a', d[52] = 0x07, d[53] = 'c';  // control character
  cursor = 50;
  EXPECT_EQ(wlf::read_lpstr(d, cursor), "");
  EXPECT_EQ(cursor, 51u);

  d[kPage - 3] = 3;  // would end one byte past page 0
  cursor = kPage - 3;
  EXPECT_EQ(wlf::read_lpstr(d, cursor), "");
  EXPECT_EQ(cursor, kPage - 2);

  d[kPage - 3] = 2, d[kPage - 2] = 'x', d[kPage - 1] = 'y';  // ends exactly at the page end
  cursor = kPage - 3;
  EXPECT_EQ(wlf::read_lpstr(d, cursor), "xy");
  EXPECT_EQ(cursor, kPage);

  EXPECT_EQ(wlf::read_lpstr(d, cursor), "");  // at the page end: nothing, cursor stays
  EXPECT_EQ(cursor, kPage);
}

TEST(WlfReadLpstr, StaysInsidePage0OfALongerFileAndInsideShortData) {
  ByteVec d(2 * kPage, 'a');
  d[kPage - 1] = 5;
  std::size_t cursor = kPage - 1;
  EXPECT_EQ(wlf::read_lpstr(d, cursor), "");
  EXPECT_EQ(cursor, kPage);
  const ByteVec tiny{4, 'a', 'b'};
  cursor = 0;
  EXPECT_EQ(wlf::read_lpstr(tiny, cursor), "");
  EXPECT_EQ(cursor, 1u);
}

TEST(WlfExtractIdentifiers, SameFilterAsTheOtherScans) {
  const ByteVec b{'a', '.', 'b', '-', 'c', 0, 'a', '.', '1', 'b', 0, '0', 'x', 'f', 0,
                  'x', 0,   'a', '/', 'b', 0, '_', 'q', '[', '1', ']', 0, 'z', 'z'};
  EXPECT_EQ(extract_identifiers(b), (Names{"a.b-c", "_q[1]"}));
}

TEST(WlfParse, SizeChecks) {
  EXPECT_EQ(wlf::parse(ByteVec(kPage - 1, 0)).error().message(), "WLF file too small (< 1 page)");
  EXPECT_EQ(wlf::parse(ByteVec(kPage - 1, 0)).error().note(), "unexpected end of file at byte 8191 reading page 0");
  const LoadedTrace t = load(ByteVec(kPage, 0));
  EXPECT_TRUE(t.signal_names().empty());
  EXPECT_EQ(t.timestamps, (Times{0}));
}

TEST(WlfParse, NamesFromPage0AfterTheHeaderStrings) {
  WlfBuilder b;
  b.page0({"hdr", "v1", "x"}, {"top.a", "top.sub.b", "top.a", "9bad", "c", "cc"}, 3);
  const LoadedTrace t = load(b.bytes());
  EXPECT_EQ(t.signals.names(), (Names{"top.a", "top.sub.b", "cc"}));
  EXPECT_EQ(t.scopes(), (Names{"top", "top.sub"}));
  EXPECT_EQ(t.signal_id("cc"), 2u);
  EXPECT_EQ(t.signal_width("top.sub.b"), 1u);
  EXPECT_EQ(t.timestamps, (Times{0}));
}

TEST(WlfParse, ZeroLengthAndBadHeaderStringsShiftTheCursor) {
  // 00 consumes one byte; "03 'a' 07 'c'" fails and leaves the cursor on 'a',
  // so the third string is read from inside it: 'a' is its length byte (97
  // bytes would run over non-printables, fails), then the scan starts at 07.
  WlfBuilder b;
  b.put(40, {0x00, 0x03, 'a', 0x07, 'c', 0x00, 'n', 'm', 0x00});
  b.put_u16(2, 60);
  EXPECT_EQ(load(b.bytes()).signals.names(), (Names{"nm"}));

  // The third string is read from inside the failed one: 02 'a' 'b' is a valid
  // string, so the scan starts at 07 and finds "qr". Had the failed string
  // consumed its bytes, the third would fail on 'q' and only "r" would remain.
  WlfBuilder c;
  c.put(40, {0x00, 0x04, 0x02, 'a', 'b', 0x07, 'q', 'r', 0x00});
  c.put_u16(2, 60);
  EXPECT_EQ(load(c.bytes()).signals.names(), (Names{"qr"}));
}

TEST(WlfParse, NameAreaEndIsClampedAndMayPrecedeTheCursor) {
  WlfBuilder b;
  b.page0({"a", "b", "c"}, {"early"}, 0);
  b.put(kPage - 8, {'l', 'a', 't', 'e', 0});
  b.put_u16(2, 0xFFFF);
  EXPECT_EQ(load(b.bytes()).signals.names(), (Names{"early", "late"}));
  b.put_u16(2, 45);  // before the end of the header strings
  EXPECT_TRUE(load(b.bytes()).signal_names().empty());
}

TEST(WlfParse, NameCapIsTheLargerOfExpectedAnd1000) {
  WlfBuilder b;
  Names many;
  for (int i = 0; i < 1200; ++i) many.push_back("n" + std::to_string(i));
  b.page0({"a", "b", "c"}, many, 0);
  EXPECT_EQ(load(b.bytes()).signals.names().size(), 1000u);
  b.put_u16(24, 1100);
  EXPECT_EQ(load(b.bytes()).signals.names().size(), 1100u);
}

TEST(WlfParse, FurtherPagesOnlyWhenFewerThanExpected) {
  WlfBuilder b;
  b.page0({"a", "b", "c"}, {"p0"}, 3);
  b.name_page({"p1a", "p1b"});
  b.name_page({"p2", "p0"});  // scanned although the count is reached
  b.name_page({"p3"});
  b.name_page({"p4"});  // page 4 is never a name page
  EXPECT_EQ(load(b.bytes()).signals.names(), (Names{"p0", "p1a", "p1b", "p2", "p3"}));

  b.put_u16(24, 1);  // page 0 already met the expected count
  EXPECT_EQ(load(b.bytes()).signals.names(), (Names{"p0"}));
}

TEST(WlfParse, FfFfPagesAreNotNamePagesEvenWhenSparse) {
  WlfBuilder b;
  b.page0({"a", "b", "c"}, {}, 5);
  ByteVec body{'x', 'y', 0};  // a name that must not be taken
  b.value_page(body, /*fill=*/false);
  b.name_page({"ok"});
  EXPECT_EQ(load(b.bytes()).signals.names(), (Names{"ok"}));
}

TEST(WlfParse, ValueRecordsNeedAnIdBelowTheNameCount) {
  WlfBuilder five;
  five.page0({"a", "b", "c"}, Names(kSix.begin(), kSix.begin() + 5), 5);
  five.value_page({0x05, 0x2A, 0xFF, 0x05, 0x2B});
  const LoadedTrace t5 = load(five.bytes());
  EXPECT_TRUE(t5.signal_value("top.sub.e", 0).is_empty());
  EXPECT_EQ(t5.timestamps, (Times{0, 1}));

  WlfBuilder six;
  six.page0({"a", "b", "c"}, kSix, 6);
  six.value_page({0x05, 0x2A, 0xFF, 0x05, 0x2B});
  const LoadedTrace t6 = load(six.bytes());
  EXPECT_EQ(t6.timestamps, (Times{0, 1}));
  EXPECT_EQ(values_of(t6, "f_6"), (std::vector<std::uint64_t>{42, 43}));
}

TEST(WlfParse, ValuesPersistAndTimeContinuesAcrossPages) {
  WlfBuilder b;
  b.page0({"a", "b", "c"}, kSix, 6);
  // Padding, a record for signal 1, three time steps, a record for signal 2.
  b.value_page({0x00, 0x01, 0x07, 0xFF, 0x00, 0xFF, 0xFF, 0x02, 0x09});
  b.value_page({0xFF, 0x01, 0x08, 0x00});  // time index continues at 3 -> 4
  const LoadedTrace t = load(b.bytes());
  EXPECT_EQ(t.timestamps, (Times{0, 1, 2, 3, 4}));
  EXPECT_EQ(values_of(t, "top.b"), (std::vector<std::uint64_t>{7, 7, 7, 7, 8}));
  EXPECT_TRUE(t.signal_value("top.c", 2).is_empty());
  EXPECT_EQ(t.signal_value("top.c", 3), SignalValue::bits(9));
  EXPECT_EQ(t.signal_value("top.c", 4), SignalValue::bits(9));
  // Id 0 never receives a value: byte 00 is padding.
  EXPECT_TRUE(t.signal_value("top.a", 0).is_empty());
}

TEST(WlfParse, RecordWalkStopsBeforeTheLastBodyByte) {
  WlfBuilder b;
  b.page0({"a", "b", "c"}, kSix, 6);
  // The final FF is the last body byte: k + 1 < n fails, so no time step.
  b.value_page({0x01, 0x05, 0xFF});
  // Unknown ids (0x40) are skipped one byte at a time: 40 03 07 reads 03 07.
  b.value_page({0x40, 0x03, 0x07, 0x00});
  const LoadedTrace t = load(b.bytes());
  EXPECT_EQ(t.timestamps, (Times{0}));
  EXPECT_EQ(t.signal_value("top.b", 0), SignalValue::bits(5));
  EXPECT_EQ(t.signal_value("top.sub.d", 0), SignalValue::bits(7));
}

TEST(WlfParse, ValuePageThresholdsAndBodyLength) {
  WlfBuilder b;
  b.page0({"a", "b", "c"}, kSix, 6);
  // 15 non-zero bytes in all (FF FF, the length byte, the body): not a value page.
  b.value_page({0x01, 0x05, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, false, 12);
  EXPECT_EQ(load(b.bytes()).timestamps, (Times{0}));

  WlfBuilder c;
  c.page0({"a", "b", "c"}, kSix, 6);
  // 16 non-zero bytes: a value page. The trailing 01 is the last body byte and
  // is never read as a record.
  c.value_page({0x01, 0x05, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, false, 13);
  EXPECT_EQ(load(c.bytes()).timestamps.size(), 11u);

  WlfBuilder d;
  d.page0({"a", "b", "c"}, kSix, 6);
  d.value_page({0xFF, 0xFF}, true, 1);  // body length below 2: skipped
  // A body length past the page counts as 8176 and stays inside the page:
  // the filler bytes at the page end are unknown ids, skipped.
  d.value_page({0xFF, 0x01, 0x03}, true, 0xFFFF);
  const LoadedTrace t = load(d.bytes());
  EXPECT_EQ(t.timestamps, (Times{0, 1}));
  EXPECT_EQ(t.signal_value("top.b", 1), SignalValue::bits(3));
}

TEST(WlfParse, PartialLastPageIsIgnored) {
  WlfBuilder b;
  b.page0({"a", "b", "c"}, kSix, 6);
  b.value_page({0x01, 0x05, 0xFF, 0x01, 0x06});
  b.bytes().resize(b.bytes().size() - 1);
  const LoadedTrace t = load(b.bytes());
  EXPECT_EQ(t.timestamps, (Times{0}));
  EXPECT_TRUE(t.signal_value("top.b", 0).is_empty());
}

TEST(WlfFromFile, ReadsFromDiskAndReportsErrors) {
  WlfBuilder b;
  b.page0({"a", "b", "c"}, kSix, 6);
  b.value_page({0x01, 0x05});
  const auto path = (std::filesystem::temp_directory_path() /
                     ("velk_wlf_" + std::to_string(::getpid()) + ".wlf")).string();
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(b.bytes().data()), static_cast<std::streamsize>(b.bytes().size()));
  const auto r = WlfTrace::from_file(path);
  std::error_code ec;
  std::filesystem::remove(path, ec);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r.value().signal_value("top.b", 0), SignalValue::bits(5));
  EXPECT_EQ(WlfTrace::from_file("missing.wlf").error().message(),
            "Failed to read missing.wlf: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace velk
