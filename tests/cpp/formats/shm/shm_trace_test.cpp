#include "formats/shm/shm_trace.h"
#include "support/bytes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace velk {
namespace {

namespace fs = std::filesystem;
using namespace velk::testing;
using Names = std::vector<std::string>;
using Times = std::vector<std::uint64_t>;
using Bits = std::vector<std::uint64_t>;

constexpr std::uint32_t kScopeDef = 0x00070501;
constexpr std::uint32_t kScopeInst = 0x00070601;
constexpr std::uint32_t kSignal = 0x00090700;
constexpr std::uint32_t kSignal2 = 0x00290700;
constexpr std::uint32_t kSourceFile = 0x000F0400;



// Builds a design file: magic, a 128-byte header, then records of a 12-byte
// head (tag, next-record link, string offset) and NUL-terminated strings.
// Each record is linked from the previous one unless that one asked not to be.
class DsnBuilder {
 public:
  DsnBuilder() : bytes_(128, 0) { put_be32(bytes_, 0, shm::kMagic); }

  // Appends a record; `str` overrides the string offset (default: right
  // after the head). Returns the record's offset.
  std::uint32_t record(std::uint32_t tag, const Names& strings, std::optional<std::uint32_t> str = {},
                       bool link_next = true) {
    const auto p = static_cast<std::uint32_t>(bytes_.size());
    if (pending_link_) put_be32(bytes_, *pending_link_ + 4, p);
    put_be32(bytes_, p, tag);
    put_be32(bytes_, p + 8, str.value_or(p + 12));
    for (const auto& s : strings) {
      bytes_.insert(bytes_.end(), s.begin(), s.end());
      bytes_.push_back(0);
    }
    while (bytes_.size() % 4) bytes_.push_back(0);
    pending_link_ = link_next ? std::optional<std::uint32_t>(p) : std::nullopt;
    return p;
  }
  // Offset of the first string of the record at `p`.
  static std::uint32_t strings_of(std::uint32_t p) { return p + 12; }

  ByteVec& bytes() { return bytes_; }

 private:
  ByteVec bytes_;
  std::optional<std::uint32_t> pending_link_;
};

// Builds a transition file: magic, the time-scale code at 8, then value
// blocks from offset 64, each a 64-byte head followed by its value bytes and
// its extra region.
class TrnBuilder {
 public:
  explicit TrnBuilder(std::uint32_t scale_code = 0) : bytes_(64, 0) {
    put_be32(bytes_, 0, shm::kMagic);
    put_be32(bytes_, 8, scale_code);
  }

  void block(std::uint32_t t, std::uint32_t c, const ByteVec& values, const ByteVec& extra = {}) {
    const auto k = static_cast<std::uint32_t>(bytes_.size());
    const std::uint32_t s = k + 64;
    const auto e = static_cast<std::uint32_t>(s + values.size());
    raw_block(t, c, static_cast<std::uint32_t>(e + extra.size()), s, e);
    append(bytes_, values);
    append(bytes_, extra);
  }
  // A block head with arbitrary fields and nothing after it.
  void raw_block(std::uint32_t t, std::uint32_t c, std::uint32_t o, std::uint32_t s, std::uint32_t e) {
    const std::size_t k = bytes_.size();
    bytes_.resize(k + 64, 0);
    bytes_[k + 1] = 0x1B;
    bytes_[k + 2] = 0x22;
    put_be32(bytes_, k + 28, t);
    put_be32(bytes_, k + 40, c);
    put_be32(bytes_, k + 48, o);
    put_be32(bytes_, k + 52, s);
    put_be32(bytes_, k + 56, e);
  }
  ByteVec& bytes() { return bytes_; }

 private:
  ByteVec bytes_;
};

LoadedTrace named(const Names& names) {
  LoadedTrace t;
  for (const auto& n : names) t.add_signal(n, 1);
  t.timestamps = {0};
  return t;
}

// Decodes transition files in order over a trace with the given names, as
// from_file does after reading the design file.
LoadedTrace decode(const Names& names, const std::vector<ByteVec>& files) {
  LoadedTrace t = named(names);
  for (const auto& f : files) shm::decode_transitions(f, t);
  return t;
}

Bits bits_of(const LoadedTrace& t, std::string_view name) {
  Bits out;
  for (const auto& v : t.signal_values_range(name, 0, t.timestamps.size())) {
    EXPECT_EQ(v.tag(), SignalValue::Tag::Bits) << name;
    out.push_back(v.as_bits());
  }
  return out;
}

class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    path_ = fs::temp_directory_path() /
            ("velk_shm_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string write(const std::string& name, const ByteVec& content) const {
    const auto p = (path_ / name).string();
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    return p;
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  std::string str() const { return path_.string(); }

 private:
  fs::path path_;
};

// ---------------------------------------------------------------- helpers

TEST(ShmExtractStrings, RunsEndAtNulOrRangeEnd) {
  const ByteVec d{'a', 'b', 0, 0x01, 'c', 0x05, 'd', 0, 'e', 'f'};
  // Non-printable bytes inside a string are kept; only its first byte must be printable.
  EXPECT_EQ(shm::extract_strings(d, 0, 100), (Names{"ab", "c\x05" "d", "ef"}));
  EXPECT_EQ(shm::extract_strings(d, 1, 9), (Names{"b", "c\x05" "d", "e"}));
  EXPECT_TRUE(shm::extract_strings(d, 20, 30).empty());
  EXPECT_TRUE(shm::extract_strings(d, 5, 2).empty());
  // A leading space starts a string.
  EXPECT_EQ(shm::extract_strings(ByteVec{' ', 'x', 0}, 0, 3), (Names{" x"}));
}

TEST(ShmExtractStrings, DropsInvalidUtf8) {
  const ByteVec d{'a', 0xC3, 0xA9, 0, 'b', 0xFF, 0, 'c', 0xE0, 0x80, 0x80, 0, 'd', 0xED, 0xA0, 0x80, 0, 'e', 0xC3};
  EXPECT_EQ(shm::extract_strings(d, 0, d.size()), (Names{"a\xC3\xA9"}));
}

TEST(ShmIsIdent, CharacterClass) {
  for (const char* ok : {"clk", "_x", "data[3]", "a.b", "f$g", "m(1)", "Z9"}) EXPECT_TRUE(shm::is_ident(ok)) << ok;
  for (const char* bad : {"", "9a", "0x1F", "a-b", "a b", "[x]", ".a", "a/b", "$a"}) {
    EXPECT_FALSE(shm::is_ident(bad)) << bad;
  }
}

// ---------------------------------------------------------- file location

TEST(ShmLocateFiles, DirectoryExtensionsAreCaseInsensitive) {
  TempDir dir;
  dir.write("a.DSN", {});
  dir.write("b.TRN", {});
  dir.write("notes.txt", {});
  const auto files = shm::locate_files(dir.str());
  ASSERT_TRUE(files.ok()) << files.error().message();
  EXPECT_EQ(files.value().design, dir.file("a.DSN"));
  EXPECT_EQ(files.value().transitions, (Names{dir.file("b.TRN")}));
}

TEST(ShmLocateFiles, DirectoryWithoutEitherKindFails) {
  TempDir dir;
  dir.write("readme", {});
  dir.write("x.dsnx", {});
  EXPECT_EQ(shm::locate_files(dir.str()).error().message(), "No .dsn/.trn in " + dir.str());
  EXPECT_EQ(ShmTrace::from_file(dir.str()).error().message(), "No .dsn/.trn in " + dir.str());
}

TEST(ShmLocateFiles, DirectoryOrderIsByFileNameBytes) {
  TempDir dir;
  // Byte order puts "B.dsn" before "a.dsn", so a.dsn is the later one and wins.
  dir.write("a.dsn", {});
  dir.write("B.dsn", {});
  dir.write("z.trn", {});
  dir.write("Y.trn", {});
  dir.write("c.trn", {});
  const auto files = shm::locate_files(dir.str());
  ASSERT_TRUE(files.ok());
  EXPECT_EQ(files.value().design, dir.file("a.dsn"));
  EXPECT_EQ(files.value().transitions, (Names{dir.file("Y.trn"), dir.file("c.trn"), dir.file("z.trn")}));
}

TEST(ShmLocateFiles, DirectoryWithOnlyTransitionFiles) {
  TempDir dir;
  dir.write("w.trn", {});
  const auto files = shm::locate_files(dir.str());
  ASSERT_TRUE(files.ok());
  EXPECT_FALSE(files.value().design);
  EXPECT_EQ(files.value().transitions.size(), 1u);
}

TEST(ShmLocateFiles, SingleFilesAndTheirSiblings) {
  TempDir dir;
  const auto dsn = dir.write("w.DSN", {});
  const auto lone_dsn = dir.write("lone.dsn", {});
  const auto trn = dir.write("w.trn", {});
  const auto lone_trn = dir.write("solo.Trn", {});
  const auto other = dir.write("w.db", {});

  auto f = shm::locate_files(dsn).value();
  EXPECT_EQ(f.design, dsn);
  EXPECT_EQ(f.transitions, (Names{trn}));

  f = shm::locate_files(lone_dsn).value();
  EXPECT_EQ(f.design, lone_dsn);
  EXPECT_TRUE(f.transitions.empty());

  f = shm::locate_files(trn).value();
  EXPECT_FALSE(f.design);  // the sibling w.dsn does not exist (only w.DSN)
  EXPECT_EQ(f.transitions, (Names{trn}));

  f = shm::locate_files(lone_trn).value();
  EXPECT_FALSE(f.design);
  EXPECT_EQ(f.transitions, (Names{lone_trn}));

  f = shm::locate_files(other).value();
  EXPECT_EQ(f.design, other);
  EXPECT_TRUE(f.transitions.empty());
}

TEST(ShmLocateFiles, TransitionFileFindsItsDesignFile) {
  TempDir dir;
  const auto dsn = dir.write("w.dsn", {});
  const auto trn = dir.write("w.trn", {});
  const auto f = shm::locate_files(trn).value();
  EXPECT_EQ(f.design, dsn);
  EXPECT_EQ(f.transitions, (Names{trn}));
}

// ------------------------------------------------------------- design file

TEST(ShmDesign, SizeAndMagic) {
  const auto small = shm::parse_design(ByteVec(127, 0x55));
  ASSERT_TRUE(small.ok());
  EXPECT_TRUE(small.value().signal_names().empty());
  EXPECT_EQ(small.value().timestamps, (Times{0}));

  ByteVec bad(128, 0);
  bad[3] = 1;
  EXPECT_EQ(shm::parse_design(bad).error().message(), "Bad DSN magic: 0x00000001");
  EXPECT_EQ(shm::parse_design(bad).error().note(), "at byte 0 reading the magic number");
  bad[0] = 0xAB;
  EXPECT_EQ(shm::parse_design(bad).error().message(), "Bad DSN magic: 0xAB000001");

  DsnBuilder just_header;
  EXPECT_TRUE(shm::parse_design(just_header.bytes()).ok());
}

TEST(ShmDesign, SignalRecordsFilterAndDeduplicate) {
  DsnBuilder b;
  b.record(kSignal, {"clk", "0x1F", "data[3]", "9z", "a-b"});
  b.record(kSignal2, {"clk", "rst_n"});
  const auto r = shm::parse_design(b.bytes());
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r.value().signals.names(), (Names{"clk", "data[3]", "rst_n"}));
  EXPECT_EQ(r.value().signal_id("rst_n"), 2u);
  EXPECT_EQ(r.value().signal_width("data[3]"), 1u);
}

TEST(ShmDesign, ScopesKeepFileOrderAndRepeats) {
  DsnBuilder b;
  b.record(kScopeDef, {"top", "a"});
  b.record(kScopeInst, {"u_core"});
  b.record(kScopeDef, {"top"});
  b.record(kSourceFile, {"design.v"});  // other kinds carry nothing
  const auto r = shm::parse_design(b.bytes());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().scopes(), (Names{"top", "u_core", "top"}));
  EXPECT_TRUE(r.value().signal_names().empty());
}

TEST(ShmDesign, BackReferenceTakesTheFirstNewName) {
  DsnBuilder b;
  b.record(kSignal, {"clk"});
  const auto source = b.record(kSourceFile, {"clk", "bad-name", "late", "later"});
  // Points back at the source record's strings: clk is known, bad-name fails
  // the identifier test, so late is taken and later is not.
  b.record(kSignal, {"ignored"}, DsnBuilder::strings_of(source));
  const auto r = shm::parse_design(b.bytes());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().signals.names(), (Names{"clk", "late"}));
}

TEST(ShmDesign, StringOffsetSelectsWhereStringsStartButNotBeforeTheHeadEnd) {
  DsnBuilder b;
  const auto p1 = static_cast<std::uint32_t>(b.bytes().size());
  b.record(kScopeDef, {"skip", "keep"}, p1 + 12 + 5);  // points at "keep"
  const auto p2 = static_cast<std::uint32_t>(b.bytes().size());
  b.record(kScopeDef, {"head"}, p2 + 4);  // inside the head: strings start after it
  const auto r = shm::parse_design(b.bytes());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().scopes(), (Names{"keep", "head"}));
}

TEST(ShmDesign, ScopeRecordIgnoresAnOffsetBeforeItself) {
  DsnBuilder b;
  const auto p1 = b.record(kScopeDef, {"one"});
  b.record(kScopeDef, {"two"}, DsnBuilder::strings_of(p1));  // only SIGNAL records refer back
  const auto r = shm::parse_design(b.bytes());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().scopes(), (Names{"one", "two"}));
}

TEST(ShmDesign, BrokenLinkResumesAtTheNextTag) {
  DsnBuilder b;
  b.record(kSourceFile, {"src"}, std::nullopt, /*link_next=*/false);
  b.record(kSignal, {"found"});
  const auto r = shm::parse_design(b.bytes());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().signals.names(), (Names{"found"}));
}

TEST(ShmDesign, UnknownTagFamilyStartsARecordWhenSearching) {
  DsnBuilder b;
  b.record(kSourceFile, {"src"}, std::nullopt, false);
  b.record(0x0014FFFF, {"x"}, std::nullopt, false);  // family 0x0014, not a listed tag
  b.record(kSignal, {"after"});
  const auto r = shm::parse_design(b.bytes());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().signals.names(), (Names{"after"}));
}

TEST(ShmDesign, EmptySlotsAreSkippedWordByWord) {
  DsnBuilder b;
  b.bytes().resize(128 + 8, 0);  // two empty words before the first record
  b.record(kSignal, {"late_start"});
  const auto r = shm::parse_design(b.bytes());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().signals.names(), (Names{"late_start"}));
}

TEST(ShmDesign, UnlinkedLastRecordReadsAtMost256Bytes) {
  DsnBuilder b;
  b.record(kSignal, {"near"}, std::nullopt, false);
  b.bytes().resize(128 + 256, 0x01);
  const std::string far = "far";
  b.bytes().insert(b.bytes().end(), far.begin(), far.end());
  b.bytes().push_back(0);
  const auto r = shm::parse_design(b.bytes());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().signals.names(), (Names{"near"}));
}

// ------------------------------------------------------- transition blocks

TEST(ShmTransitions, InitialValuesInBothEncodings) {
  TrnBuilder a;
  a.block(0, 1, {0x10, 0x08, 0x10});
  const auto t = decode({"s0", "s1", "s2"}, {a.bytes()});
  EXPECT_EQ(t.timestamps, (Times{0}));
  EXPECT_EQ(bits_of(t, "s0"), (Bits{1}));
  EXPECT_EQ(bits_of(t, "s1"), (Bits{0}));
  EXPECT_EQ(bits_of(t, "s2"), (Bits{1}));

  TrnBuilder b;
  b.block(0, 1, {0x40, 0x00, 0x40});
  const auto u = decode({"s0", "s1", "s2"}, {b.bytes()});
  EXPECT_EQ(bits_of(u, "s0"), (Bits{1}));
  EXPECT_EQ(bits_of(u, "s1"), (Bits{0}));
}

TEST(ShmTransitions, EveryNamedSignalHasAValueAtTimeZero) {
  TrnBuilder a;
  a.block(0, 1, {0x10});
  const auto t = decode({"s0", "s1"}, {a.bytes()});
  EXPECT_EQ(bits_of(t, "s0"), (Bits{1}));
  EXPECT_EQ(bits_of(t, "s1"), (Bits{0}));
}

TEST(ShmTransitions, MixedEncodingsGiveNoInitialValues) {
  TrnBuilder a;
  a.block(0, 1, {0x10, 0x40});
  const auto t = decode({"s0", "s1"}, {a.bytes()});
  EXPECT_EQ(bits_of(t, "s0"), (Bits{0}));
  EXPECT_EQ(bits_of(t, "s1"), (Bits{0}));
}

TEST(ShmTransitions, TogglingFillSpreadsCountStepsOverTheBlockTime) {
  TrnBuilder a;  // scale code 0: unit 1000, times unscaled
  a.block(1000, 4, {0x08, 0x10});
  const auto t = decode({"s0", "s1"}, {a.bytes()});
  EXPECT_EQ(t.timestamps, (Times{0, 200, 400, 600, 800, 1000}));
  EXPECT_EQ(bits_of(t, "s0"), (Bits{0, 1, 0, 1, 0, 0}));
  EXPECT_EQ(bits_of(t, "s1"), (Bits{1, 0, 1, 0, 1, 1}));
}

TEST(ShmTransitions, TogglingStepsOnTheSameTimeKeepTheLast) {
  TrnBuilder a;
  a.block(3, 5, {0x08});  // times 3*k/6 = 0, 1, 1, 2, 2
  const auto t = decode({"s0"}, {a.bytes()});
  EXPECT_EQ(t.timestamps, (Times{0, 1, 2, 3}));
  // k=1 lands on time 0 and overwrites the initial 0; k=3 and k=5 win at 1 and 2.
  EXPECT_EQ(bits_of(t, "s0"), (Bits{1, 1, 1, 1}));
}

TEST(ShmTransitions, TogglingFillIsSkippedForHugeCounts) {
  TrnBuilder a;
  a.block(1000, (1u << 20) + 1, {0x08});
  const auto t = decode({"s0"}, {a.bytes()});
  EXPECT_EQ(t.timestamps, (Times{0, 1000}));
  EXPECT_EQ(bits_of(t, "s0"), (Bits{0, 0}));

  TrnBuilder b;
  b.block(1000, 1u << 15, {0x08});
  EXPECT_EQ(decode({"s0"}, {b.bytes()}).timestamps.size(), 1001u);
}

// What a fill builds is charged too: distinct times x signals events, each a
// potential index. A file of a few hundred bytes may build 4 Ki events, a
// larger one 16 per byte; a fill past that is skipped whole, so that one
// count in a tiny file cannot spread a signal over tens of thousands of
// indices. The same fill in a file whose bytes justify it is kept.
TEST(ShmTransitions, TogglingFillIsSkippedWhenItsDistinctTimesPassTheEventBudget) {
  TrnBuilder small;
  small.block(1000000, 5000, {0x08});  // 5000 distinct times over one signal
  const auto skipped = decode({"s0"}, {small.bytes()});
  EXPECT_EQ(skipped.timestamps, (Times{0, 1000000}));
  EXPECT_EQ(bits_of(skipped, "s0"), (Bits{0, 0}));

  TrnBuilder padded;
  padded.block(1000000, 5000, {0x08});
  append(padded.bytes(), ByteVec(400, 0));  // 529 bytes: 8464 events allowed
  const auto kept = decode({"s0"}, {padded.bytes()});
  ASSERT_EQ(kept.timestamps.size(), 5002u);  // 0, the 5000 steps, the block time
  EXPECT_EQ(kept.timestamps[1], 1000000u / 5001);
  EXPECT_EQ(kept.signal_value("s0", 1), SignalValue::bits(1));
  EXPECT_EQ(kept.signal_value("s0", 2), SignalValue::bits(0));

  // 3000 times over two signals is 6000 events: past 4 Ki as well.
  TrnBuilder two;
  two.block(1000000, 3000, {0x08, 0x10});
  EXPECT_EQ(decode({"s0", "s1"}, {two.bytes()}).timestamps.size(), 2u);
  // Many claimed steps over few times build few events: kept.
  TrnBuilder collapsed;
  collapsed.block(100, 50000, {0x08});
  EXPECT_EQ(decode({"s0"}, {collapsed.bytes()}).timestamps.size(), 101u);
}

// Blocks pointing at one shared region read it once each: thousands of them
// over a megabyte without a terminator would read gigabytes. The bytes the
// blocks read are charged against the file's budget, so decoding stops early
// and the signals keep the values decoded so far.
TEST(ShmTransitions, BlocksSharingOneRegionShareTheFilesBudget) {
  Names names;
  for (int i = 0; i < 4096; ++i) names.push_back("s" + std::to_string(i));
  TrnBuilder shared;
  const auto start = static_cast<std::uint32_t>(shared.bytes().size());
  ByteVec region(4096, 0x08);
  region.back() = 0x47;  // neither initial-value encoding: every block scans it all
  append(shared.bytes(), region);
  append(shared.bytes(), ByteVec(1u << 20, 0));  // an extra region with no terminator
  const auto end = static_cast<std::uint32_t>(start + region.size());
  const auto extra_end = static_cast<std::uint32_t>(shared.bytes().size());
  for (int k = 0; k < 8192; ++k) shared.raw_block(100, 1, extra_end, start, end);
  const auto t = decode(names, {shared.bytes()});
  EXPECT_LE(t.timestamps.size(), 3u);
  EXPECT_EQ(t.signal_value("s0", 0), SignalValue::bits(0));
}

// Count x signals steps, charged as claimed: a small file may not ask for more
// than its budget of steps (64 Ki, or 16 per file byte); such a fill is
// skipped whole, and all fills of a file share the budget.
TEST(ShmTransitions, TogglingFillIsSkippedWhenItWouldPassTheEventBudget) {
  const Names eight = {"s0", "s1", "s2", "s3", "s4", "s5", "s6", "s7"};
  TrnBuilder wide;
  wide.block(1000, 1u << 14, ByteVec(8, 0x10));
  const auto t = decode(eight, {wide.bytes()});
  EXPECT_EQ(t.timestamps, (Times{0, 1000}));
  EXPECT_EQ(bits_of(t, "s7"), (Bits{1, 1}));

  TrnBuilder narrow;
  narrow.block(1000, 1u << 14, ByteVec(2, 0x10));
  EXPECT_EQ(decode({"s0", "s1"}, {narrow.bytes()}).timestamps.size(), 1001u);

  // Two fills of 2^15 steps each: the second one passes the shared budget
  // even though its time span collapses onto few timestamps.
  TrnBuilder twice;
  twice.block(1000, (1u << 15) + 1, {0x10});
  twice.block(7, 1u << 15, {0x08});
  const auto both = decode({"s0", "s1"}, {twice.bytes()});
  EXPECT_EQ(both.timestamps.size(), 1001u);
  EXPECT_EQ(bits_of(both, "s1")[3], 0u);  // not toggled (a fill would give 1 at time 3)
}

TEST(ShmTransitions, TimeScaleCodes) {
  for (const auto& [code, expected] : std::vector<std::pair<std::uint32_t, std::uint64_t>>{
           {6, 500}, {5, 50}, {0, 5000}, {7, 5000}}) {
    TrnBuilder a(code);
    a.block(5000, 1, {0x18});  // no values, just the largest block time
    EXPECT_EQ(decode({"s0"}, {a.bytes()}).timestamps, (Times{0, expected})) << code;
  }
}

TEST(ShmTransitions, PackedChanges) {
  TrnBuilder a(6);  // unit 100: block time 400 spans 40
  // b0 = 1010 0000 (s0=1, s1=0, s2=1), then XOR masks 80, 40, 00 and one pad byte.
  a.block(400, 3, {0xA0, 0x80, 0x40, 0x00, 0x00});
  const auto t = decode({"s0", "s1", "s2"}, {a.bytes()});
  EXPECT_EQ(t.timestamps, (Times{0, 10, 20, 40}));
  EXPECT_EQ(bits_of(t, "s0"), (Bits{1, 0, 0, 0}));
  EXPECT_EQ(bits_of(t, "s1"), (Bits{0, 0, 1, 1}));
  EXPECT_EQ(bits_of(t, "s2"), (Bits{1, 1, 1, 1}));
}

TEST(ShmTransitions, PackedChangesNeedTwoToFourBytesBeyondTheCount) {
  TrnBuilder a;
  a.block(400, 2, {0xA0, 0x80, 0x40, 0x00, 0x00});  // width 5, count 2: 3 beyond
  const auto packed = decode({"s0"}, {a.bytes()});
  EXPECT_EQ(packed.timestamps, (Times{0, 133, 400}));
  EXPECT_EQ(bits_of(packed, "s0"), (Bits{1, 0, 0}));
  TrnBuilder b;
  b.block(400, 2, {0xA0, 0x80, 0x40, 0x00, 0x00, 0x00, 0x00});  // 5 beyond: no packed changes
  const auto t = decode({"s0"}, {b.bytes()});
  EXPECT_EQ(t.timestamps, (Times{0, 400}));
  EXPECT_EQ(bits_of(t, "s0"), (Bits{0, 0}));
}

TEST(ShmTransitions, PackedChangesWithoutTimedEventsAreToggled) {
  TrnBuilder a;
  a.block(300, 2, {0x80, 0x00, 0x00, 0x00});  // s0 starts at 1, masks change nothing
  const auto t = decode({"s0"}, {a.bytes()});
  EXPECT_EQ(t.timestamps, (Times{0, 100, 200, 300}));
  // Toggles from the value byte's initial bit (0x80 AND 0x18 is not 0x10: 0).
  EXPECT_EQ(bits_of(t, "s0"), (Bits{1, 1, 0, 0}));
}

// Extra region with a type-0x12 record at r = 0 and the terminator 01 8F at q = 8.
ByteVec region_0x12(std::uint8_t b5, std::uint8_t b6) {
  return {0x00, 0x12, 0x40, 0x00, 0x00, b5, b6, 0x00, 0x01, 0x8F, 0x00, 0x00};
}

TEST(ShmTransitions, SingleChangeFromType12Record) {
  TrnBuilder a;
  // f = 0x1C0 (b5 bits 5,2,1) | 0x3F (b6 bits 7,6,5,4,2,0) = 511; x = (511*1297 + 1023) / 2047 = 324.
  a.block(2047, 1, {0x18}, region_0x12(0x26, 0xF5));
  const auto t = decode({"s0", "s1"}, {a.bytes()});
  EXPECT_EQ(t.timestamps, (Times{0, 324, 2047}));
  EXPECT_EQ(bits_of(t, "s0"), (Bits{0, 1, 1}));  // 0x18 AND 0x18 is not 0x10: the change is to 1
  EXPECT_EQ(bits_of(t, "s1"), (Bits{0, 0, 0}));
}

TEST(ShmTransitions, SingleChangeFromType13Record) {
  TrnBuilder a;
  // f = 0x20 | 0x1F = 63; x = (63*108 + 635) / 127 = 58.
  const ByteVec region{0x00, 0x13, 0x40, 0x00, 0x00, 0x20, 0x00, 0x05, 0x54, 0x01, 0x81, 0x00};
  a.block(1270, 1, {0x10}, region);
  const auto t = decode({"s0"}, {a.bytes()});
  // 0x10 is an initial 1 and toggling adds 0 at 635; the change at 58 is to 0.
  EXPECT_EQ(t.timestamps, (Times{0, 58, 635, 1270}));
  EXPECT_EQ(bits_of(t, "s0"), (Bits{1, 0, 0, 0}));
}

TEST(ShmTransitions, SingleChangeRejections) {
  const Names one{"s0"};
  // f = 0 is invalid.
  TrnBuilder a;
  a.block(2047, 1, {0x18}, region_0x12(0x00, 0x00));
  EXPECT_EQ(decode(one, {a.bytes()}).timestamps, (Times{0, 2047}));
  // x not below t: f = 0x7FE with t = 1 gives x = 1.
  TrnBuilder b;
  b.block(1, 1, {0x18}, {0x00, 0x12, 0xE0, 0x00, 0x00, 0x26, 0xF4, 0x00, 0x01, 0x8F, 0x00, 0x00});
  EXPECT_EQ(decode(one, {b.bytes()}).timestamps, (Times{0, 1}));
  // A count other than 1.
  TrnBuilder c;
  c.block(2047, 2, {0x18}, region_0x12(0x26, 0xF5));
  EXPECT_EQ(decode(one, {c.bytes()}).timestamps, (Times{0, 2047}));
  // Terminator at position 4.
  TrnBuilder d;
  d.block(2047, 1, {0x18}, {0x00, 0x12, 0x40, 0x00, 0x01, 0x8F, 0xF5, 0x00, 0x00, 0x00, 0x00, 0x00});
  EXPECT_EQ(decode(one, {d.bytes()}).timestamps, (Times{0, 2047}));
  // Region of 11 bytes.
  TrnBuilder e;
  auto short_region = region_0x12(0x26, 0xF5);
  short_region.pop_back();
  e.block(2047, 1, {0x18}, short_region);
  EXPECT_EQ(decode(one, {e.bytes()}).timestamps, (Times{0, 2047}));
}

TEST(ShmTransitions, BaseAdvancesOverBlocksWithoutValues) {
  TrnBuilder a;
  a.block(0, 1, {});            // no value bytes: the base moves by one
  a.block(0, 1, {0x08, 0x10});  // signals 1 and 2
  const auto t = decode({"s0", "s1", "s2"}, {a.bytes()});
  EXPECT_EQ(bits_of(t, "s0"), (Bits{0}));
  EXPECT_EQ(bits_of(t, "s1"), (Bits{0}));
  EXPECT_EQ(bits_of(t, "s2"), (Bits{1}));

  // Unrecognised bytes move the base by the names left minus the blocks
  // after, here 4 - 1 = 3.
  TrnBuilder b;
  b.block(0, 1, {0x18});
  b.block(0, 1, {0x10});
  const auto u = decode({"s0", "s1", "s2", "s3"}, {b.bytes()});
  EXPECT_EQ(bits_of(u, "s3"), (Bits{1}));
  EXPECT_EQ(bits_of(u, "s1"), (Bits{0}));
}

TEST(ShmTransitions, BaseAdvanceIsAtLeastOneWhenManyBlocksFollow) {
  // 2 names and 4 blocks after the first: 2 - 4 is negative, so the base
  // moves by one and the second block lands on signal 1.
  TrnBuilder a;
  a.block(0, 1, {0x18, 0x18});
  a.block(0, 1, {0x10});
  for (int i = 0; i < 3; ++i) a.block(0, 1, {0x10});
  const auto t = decode({"s0", "s1"}, {a.bytes()});
  EXPECT_EQ(bits_of(t, "s0"), (Bits{0}));
  EXPECT_EQ(bits_of(t, "s1"), (Bits{1}));
}

TEST(ShmTransitions, BlocksPastTheLastNameAddNothing) {
  TrnBuilder a;
  a.block(0, 1, {0x10});                              // s0 = 1; the base moves past the only name
  a.block(400, 3, {0xA0, 0x80, 0x40, 0x00, 0x00});    // packed changes with no signal left
  a.block(600, 1, {0x18}, region_0x12(0x26, 0xF5));   // extra-region change with no signal left
  const auto t = decode({"s0"}, {a.bytes()});
  EXPECT_EQ(t.timestamps, (Times{0, 600}));
  EXPECT_EQ(bits_of(t, "s0"), (Bits{1, 1}));
}

TEST(ShmTransitions, InvalidBlocksAreSkippedButTheirTimeCounts) {
  TrnBuilder a;
  a.raw_block(10, 0, 0, 0, 0);                // count 0
  a.raw_block(20, 1, 0, 100, 50);             // start past end
  a.raw_block(30, 1, 0, 0xFFFFFFF0, 0xFFFFFFFF);  // beyond the file
  a.raw_block(40, 1, 0xFFFFFFFF, 0, 0);       // extra region beyond the file
  const auto t = decode({"s0"}, {a.bytes()});
  EXPECT_EQ(t.timestamps, (Times{0, 40}));
  EXPECT_EQ(bits_of(t, "s0"), (Bits{0, 0}));
}

TEST(ShmTransitions, IgnoredFiles) {
  TrnBuilder good;
  good.block(0, 1, {0x10});
  ByteVec wrong_magic = good.bytes();
  wrong_magic[0] = 0xA2;
  ByteVec too_short(good.bytes().begin(), good.bytes().begin() + 23);
  const auto t = decode({"s0"}, {wrong_magic, too_short});
  EXPECT_EQ(t.timestamps, (Times{0}));
  EXPECT_TRUE(t.signal_value("s0", 0).is_empty());

  LoadedTrace nameless = named({});
  shm::decode_transitions(good.bytes(), nameless);
  EXPECT_EQ(nameless.timestamps, (Times{0}));
}

TEST(ShmTransitions, LaterFileTimesAreMergedAndValuesKeepTheirTimes) {
  TrnBuilder first;
  first.block(0, 1, {0x08});  // s0 = 0 at time 0
  first.raw_block(10, 0, 0, 0, 0);  // largest block time 10
  TrnBuilder second;
  second.block(10, 1, {0x08});  // s0 = 0 at 0, toggles to 1 at 5
  const auto t = decode({"s0"}, {first.bytes(), second.bytes()});
  EXPECT_EQ(t.timestamps, (Times{0, 5, 10}));
  // The 0 filled at time 10 by the first file stays at time 10.
  EXPECT_EQ(bits_of(t, "s0"), (Bits{0, 1, 0}));
}

TEST(ShmTransitions, InsertedTimesAreFilledFromEarlierValues) {
  TrnBuilder first;
  first.block(0, 1, {0x08, 0x10});
  first.raw_block(10, 0, 0, 0, 0);
  TrnBuilder second;
  second.block(0, 1, {0x10});         // s0 = 1 at time 0
  second.raw_block(6, 0, 0, 0, 0);    // adds time 6
  const auto t = decode({"s0", "s1"}, {first.bytes(), second.bytes()});
  EXPECT_EQ(t.timestamps, (Times{0, 6, 10}));
  EXPECT_EQ(bits_of(t, "s0"), (Bits{1, 1, 0}));  // the first file's 0 at time 10 stays
  EXPECT_EQ(bits_of(t, "s1"), (Bits{1, 1, 1}));
}

// ----------------------------------------------------------- whole loads

TEST(ShmFromFile, DirectoryDatabase) {
  TempDir dir;
  DsnBuilder dsn;
  dsn.record(kScopeDef, {"top"});
  dsn.record(kSignal, {"clk", "rst"});
  dir.write("sim.dsn", dsn.bytes());
  TrnBuilder trn;
  trn.block(1000, 2, {0x08, 0x10});
  dir.write("sim.trn", trn.bytes());
  const auto r = ShmTrace::from_file(dir.str());
  ASSERT_TRUE(r.ok()) << r.error().message();
  const LoadedTrace& t = r.value();
  EXPECT_EQ(t.signals.names(), (Names{"clk", "rst"}));
  EXPECT_EQ(t.scopes(), (Names{"top"}));
  EXPECT_EQ(t.timestamps, (Times{0, 333, 666, 1000}));
  EXPECT_EQ(bits_of(t, "clk"), (Bits{0, 1, 0, 0}));
  EXPECT_EQ(bits_of(t, "rst"), (Bits{1, 0, 1, 1}));

  // The same database through either of its files.
  EXPECT_EQ(ShmTrace::from_file(dir.file("sim.dsn")).value().timestamps, t.timestamps);
  EXPECT_EQ(ShmTrace::from_file(dir.file("sim.trn")).value().signals.names(), t.signals.names());
}

TEST(ShmFromFile, MissingSiblingsAreNotErrors) {
  TempDir dir;
  DsnBuilder dsn;
  dsn.record(kSignal, {"clk"});
  const auto r = ShmTrace::from_file(dir.write("only.dsn", dsn.bytes()));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().timestamps, (Times{0}));
  EXPECT_TRUE(r.value().signal_value("clk", 0).is_empty());

  TrnBuilder trn;
  trn.block(0, 1, {0x10});
  const auto s = ShmTrace::from_file(dir.write("solo.trn", trn.bytes()));
  ASSERT_TRUE(s.ok());
  EXPECT_TRUE(s.value().signal_names().empty());
  EXPECT_EQ(s.value().timestamps, (Times{0}));
}

TEST(ShmFromFile, DesignFileErrors) {
  EXPECT_EQ(ShmTrace::from_file("missing.dsn").error().message(), "DSN: No such file or directory (os error 2)");
  TempDir dir;
  EXPECT_EQ(ShmTrace::from_file(dir.write("x.dsn", ByteVec(128, 0))).error().message(), "Bad DSN magic: 0x00000000");
  // A directory named like a design file is found and then cannot be read.
  TempDir other;
  fs::create_directory(other.file("sub.dsn"));
  EXPECT_EQ(ShmTrace::from_file(other.str()).error().message(), "DSN: Is a directory (os error 21)");
}

}  // namespace
}  // namespace velk
