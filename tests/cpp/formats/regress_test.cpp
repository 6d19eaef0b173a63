// Inputs found by the fuzzers (fuzz/), kept as files under
// tests/data/regress/<format>/: every one must load or fail with a message,
// twice with the same outcome, and within the reader's size bounds. The SHM
// files use the SHM fuzzer's split rule (design file, then "%TRN" before each
// transition file).
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "formats/fsdb/fsdb_trace.h"
#include "formats/fst/fst_trace.h"
#include "formats/shm/shm_trace.h"
#include "formats/vcd/vcd_trace.h"
#include "formats/vpd/vpd_trace.h"
#include "formats/wlf/wlf_trace.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

const fs::path kRegress = fs::path(VELK_TEST_DATA) / "regress";

std::vector<fs::path> inputs_of(std::string_view format) {
  std::vector<fs::path> out;
  const fs::path dir = kRegress / std::string(format);
  if (!fs::is_directory(dir)) return out;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_regular_file()) out.push_back(entry.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What a load gave: the error text, or the names and the number of indices.
struct Outcome {
  std::string error;
  std::vector<std::string> names;
  std::size_t indices = 0;
  bool operator==(const Outcome&) const = default;
};

template <class R>
Outcome outcome_of(const R& result) {
  Outcome o;
  if (!result.ok()) {
    o.error = result.error().message();
    EXPECT_FALSE(o.error.empty());
    return o;
  }
  const Trace& t = result.value();
  o.names.assign(t.signal_names().begin(), t.signal_names().end());
  o.indices = t.max_index() + 1;
  return o;
}

// Loads each input twice through `load(path)`; the outcomes must agree, and a
// loaded trace may not have more indices than `max_indices(file size)`.
template <class Load, class Bound>
void check_inputs(std::string_view format, Load load, Bound max_indices) {
  for (const fs::path& path : inputs_of(format)) {
    SCOPED_TRACE(path.filename().string());
    const Outcome first = outcome_of(load(path));
    EXPECT_EQ(outcome_of(load(path)), first);
    EXPECT_LE(first.indices, max_indices(fs::file_size(path)));
  }
}

// Readers that tie their events to the file: at most 16 per byte above 64 Ki.
std::size_t linear_bound(std::uintmax_t size) { return std::max<std::size_t>(std::size_t{1} << 16, 16 * size) + 2; }

// The closed formats' readers: 16 per byte above 4 Ki, so that no file of a
// few hundred bytes opens tens of thousands of indices. (WLF spends a byte
// per time step and VPD has one index, well inside this.)
std::size_t closed_bound(std::uintmax_t size) { return std::max<std::size_t>(std::size_t{1} << 12, 16 * size) + 2; }

TEST(RegressTest, Fsdb) {
  check_inputs("fsdb", [](const fs::path& p) { return FsdbTrace::from_file(p.string()); }, closed_bound);
}

TEST(RegressTest, Wlf) {
  check_inputs("wlf", [](const fs::path& p) { return WlfTrace::from_file(p.string()); }, closed_bound);
}

TEST(RegressTest, Vpd) {
  check_inputs("vpd", [](const fs::path& p) { return VpdTrace::from_file(p.string()); }, closed_bound);
}

TEST(RegressTest, Fst) {
  check_inputs("fst", [](const fs::path& p) { return FstTrace::from_file(p.string()); }, linear_bound);
}

TEST(RegressTest, Vcd) {
  check_inputs("vcd", [](const fs::path& p) { return VcdTrace::from_file(p.string()); }, linear_bound);
}

// Writes the design and transition files of one SHM input into a fresh
// directory, as the SHM fuzzer does.
class ShmDatabase {
 public:
  explicit ShmDatabase(const fs::path& input) {
    dir_ = fs::temp_directory_path() / ("velk_regress_shm_" + std::to_string(::getpid()) + "_" + input.filename().string());
    fs::create_directories(dir_);
    std::string_view rest;
    const std::string bytes = read_all(input);
    rest = bytes;
    constexpr std::string_view kSeparator = "%TRN";
    std::vector<std::string_view> pieces;
    while (pieces.size() < 4) {
      const std::size_t at = rest.find(kSeparator);
      if (at == std::string_view::npos) break;
      pieces.push_back(rest.substr(0, at));
      rest.remove_prefix(at + kSeparator.size());
    }
    pieces.push_back(rest);
    if (!pieces[0].empty()) write(dir_ / "db.dsn", pieces[0]);
    for (std::size_t i = 1; i < pieces.size(); ++i) write(dir_ / ("t" + std::to_string(i - 1) + ".trn"), pieces[i]);
  }
  ~ShmDatabase() { fs::remove_all(dir_); }
  std::string path() const { return dir_.string(); }

 private:
  static void write(const fs::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  fs::path dir_;
};

// SHM inputs hold up to four transition files, each of which may build 4 Ki
// events (plus its own end time and time 0) before 16 per byte takes over.
std::size_t shm_bound(std::uintmax_t size) { return 4 * ((std::size_t{1} << 12) + 2) + 16 * size; }

TEST(RegressTest, Shm) {
  check_inputs(
      "shm", [](const fs::path& p) { return ShmTrace::from_file(ShmDatabase(p).path()); }, shm_bound);
}

}  // namespace
}  // namespace velk
