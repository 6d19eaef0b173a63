// The format table: every format is recognised from its content alone, by
// exactly one entry; foreign content is recognised by none; each entry's
// loader reads what its test recognised.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "formats/format_table.h"
#include "support/bytes.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using namespace velk::testing;

const fs::path kData = VELK_TEST_DATA;




ByteVec fsdb_bytes(std::uint32_t magic) {
  ByteVec b(512, 0);
  put_be32(b, 4, magic);
  return b;
}

ByteVec shm_bytes() {
  ByteVec b(128, 0);
  put_be32(b, 0, 0xA19511BF);
  return b;
}

ByteVec vpd_bytes() {
  ByteVec b(160, 0);
  b[0] = 0x78, b[1] = 0x56, b[2] = 0x34, b[3] = 0x12;
  return b;
}

ByteVec wlf_bytes() {
  ByteVec b(8192 * 2, 0);
  std::size_t at = 40;
  for (const char* s : {"hdr", "v1", "x"}) {
    b[at++] = static_cast<std::uint8_t>(std::string_view(s).size());
    for (const char c : std::string_view(s)) b[at++] = static_cast<std::uint8_t>(c);
  }
  for (const char c : std::string_view("top.a")) b[at++] = static_cast<std::uint8_t>(c);
  ++at;
  b[2] = static_cast<std::uint8_t>(at >> 8), b[3] = static_cast<std::uint8_t>(at);
  b[25] = 1;
  return b;
}

class FormatTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("velk_format_table_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const ByteVec& bytes) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path.native();
  }

  // The names of every entry that recognises `path`.
  static std::vector<std::string> recognisers(const std::string& path) {
    const auto probe = probe_path(path);
    EXPECT_TRUE(probe.ok()) << path;
    std::vector<std::string> names;
    if (!probe) return names;
    for (const DumpFormat& format : dump_formats()) {
      if (format.recognises(probe.value())) names.emplace_back(format.name);
    }
    return names;
  }

  fs::path dir_;
};

using Names = std::vector<std::string>;

TEST_F(FormatTableTest, EachFormatIsRecognisedByExactlyOneEntry) {
  const ByteVec vcd = read_file(kData / "fst" / "iverilog.vcd");
  const struct {
    std::string file;
    ByteVec bytes;
    std::string format;
  } cases[] = {
      {"a.vcd", vcd, "vcd"},
      {"no_extension", vcd, "vcd"},
      {"padded.vcd", text_bytes("\xEF\xBB\xBF\n  $timescale 1ns $end\n"), "vcd"},
      {"times_only.vcd", text_bytes("#0\n1!\n"), "vcd"},
      {"a.vcd.gz", gzip(vcd), "vcd.gz"},
      {"plain.fst", read_file(kData / "fst" / "iverilog.fst"), "fst"},
      {"wrapped.fst", read_file(kData / "fst" / "vcd2fst_gzip_wrapped.fst"), "fst"},
      {"old.fsdb", fsdb_bytes(0xFDE099C1), "fsdb"},
      {"new.fsdb", fsdb_bytes(0x1C3ED948), "fsdb"},
      {"x.dsn", shm_bytes(), "shm"},
      {"x.trn", shm_bytes(), "shm"},
      {"x.vpd", vpd_bytes(), "vpd"},
      {"x.wlf", wlf_bytes(), "wlf"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(recognisers(write(c.file, c.bytes)), Names{c.format}) << c.file;
    const auto probe = probe_path((dir_ / c.file).native());
    ASSERT_TRUE(probe.ok());
    const DumpFormat* detected = detect_dump_format(probe.value());
    ASSERT_NE(detected, nullptr) << c.file;
    EXPECT_EQ(detected, find_dump_format(c.format));
  }
}

TEST_F(FormatTableTest, ForeignContentIsRecognisedByNone) {
  ByteVec random(20000);
  std::uint32_t x = 12345;
  for (auto& b : random) b = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 16);
  const struct {
    std::string file;
    ByteVec bytes;
  } cases[] = {
      {"empty.vcd", {}},
      {"README", text_bytes("# velk\n\nA reader of waveform dumps.\n")},
      {"dollar.txt", text_bytes("$HOME is where the heart is\n")},
      {"random.bin", random},
      {"gzip_of_text.gz", gzip(text_bytes("hello, world\n"))},
      {"fst_cut.fst", ByteVec{0x00, 0x00, 0x00}},
      {"gzip_cut.gz", ByteVec{0x1F, 0x8B}},
      {"short.wlf", ByteVec(8191, 0)},
      {"zeros.wlf", ByteVec(8192 * 2, 0)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(recognisers(write(c.file, c.bytes)), Names{}) << c.file;
  }
}

TEST_F(FormatTableTest, DirectoriesAreShmDatabasesOnlyWithTheirFiles) {
  const fs::path empty = dir_ / "empty.shm";
  fs::create_directories(empty);
  EXPECT_EQ(recognisers(empty.native()), Names{});
  const fs::path db = dir_ / "run.shm";
  fs::create_directories(db);
  write("run.shm/run.dsn", shm_bytes());
  EXPECT_EQ(recognisers(db.native()), Names{"shm"});
  const auto probe = probe_path(db.native());
  ASSERT_TRUE(probe.ok());
  EXPECT_TRUE(probe.value().is_directory);
}

TEST_F(FormatTableTest, LoadersReadWhatWasRecognised) {
  const DumpFormat* vcd = find_dump_format("vcd");
  const DumpFormat* fst = find_dump_format("fst");
  ASSERT_NE(vcd, nullptr);
  ASSERT_NE(fst, nullptr);
  const auto from_vcd = vcd->load((kData / "fst" / "iverilog.vcd").native());
  const auto from_fst = fst->load((kData / "fst" / "iverilog.fst").native());
  ASSERT_TRUE(from_vcd.ok());
  ASSERT_TRUE(from_fst.ok()) << from_fst.error().message();
  const auto vcd_names = from_vcd.value()->signal_names();
  const auto fst_names = from_fst.value()->signal_names();
  ASSERT_FALSE(vcd_names.empty());
  EXPECT_EQ(vcd_names.size(), fst_names.size());  // FST names carry their bit range, VCD names do not
  EXPECT_TRUE(find_dump_format("wlf")->load(write("x.wlf", wlf_bytes())).ok());
  EXPECT_TRUE(find_dump_format("vpd")->load(write("x.vpd", vpd_bytes())).ok());
  EXPECT_EQ(find_dump_format("vcd.txt"), nullptr);
  EXPECT_EQ(find_dump_format(""), nullptr);
}

TEST_F(FormatTableTest, NamesAreUniqueAndEveryEntryIsComplete) {
  std::vector<std::string_view> seen;
  for (const DumpFormat& format : dump_formats()) {
    EXPECT_FALSE(format.name.empty());
    EXPECT_FALSE(format.description.empty());
    EXPECT_NE(format.recognises, nullptr);
    EXPECT_NE(format.load, nullptr);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), format.name), 0) << format.name;
    seen.push_back(format.name);
  }
}

TEST_F(FormatTableTest, ProbeReportsMissingAndUnreadablePaths) {
  const std::string missing = (dir_ / "none.vcd").native();
  const auto probe = probe_path(missing);
  ASSERT_FALSE(probe.ok());
  EXPECT_EQ(probe.error().message(), "Failed to read " + missing + ": No such file or directory (os error 2)");
  const std::string nul("a\0b", 3);
  EXPECT_EQ(probe_path(nul).error().message(), "Failed to read " + nul + ": file name contained an unexpected NUL byte");
  const std::string big = write("big.vcd", ByteVec(kProbeBytes * 3, ' '));
  const auto head = probe_path(big);
  ASSERT_TRUE(head.ok());
  EXPECT_EQ(head.value().head.size(), kProbeBytes);
  EXPECT_EQ(head.value().size, kProbeBytes * 3);
}

}  // namespace
}  // namespace velk
