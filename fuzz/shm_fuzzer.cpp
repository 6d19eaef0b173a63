// SHM reader: one fuzz input becomes a database directory. The input is cut
// at every occurrence of the separator "%TRN"; the first piece is the design
// file (db.dsn, left out when empty) and each later piece a transition file
// (t0.trn, t1.trn, ...; at most kMaxTransitions).
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "formats/shm/shm_trace.h"
#include "fuzz_support.h"

namespace {

constexpr std::string_view kSeparator = "%TRN";
constexpr std::size_t kMaxTransitions = 4;

std::vector<std::string_view> split(std::string_view input) {
  std::vector<std::string_view> pieces;
  while (pieces.size() < kMaxTransitions) {
    const std::size_t at = input.find(kSeparator);
    if (at == std::string_view::npos) break;
    pieces.push_back(input.substr(0, at));
    input.remove_prefix(at + kSeparator.size());
  }
  pieces.push_back(input);
  return pieces;
}

const std::string& database_dir() {
  static const std::string dir = [] {
    std::string tmpl = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/velk-shm-XXXXXX";
    if (!::mkdtemp(tmpl.data())) velk::fuzz::fail("mkdtemp");
    return tmpl;
  }();
  return dir;
}

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) velk::fuzz::fail("write", path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& dir = database_dir();
  const auto pieces = split(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string design = dir + "/db.dsn";
  if (pieces[0].empty()) {
    std::remove(design.c_str());
  } else {
    write_file(design, pieces[0]);
  }
  for (std::size_t i = 0; i < kMaxTransitions; ++i) {
    const std::string path = dir + "/t" + std::to_string(i) + ".trn";
    if (i + 1 < pieces.size()) {
      write_file(path, pieces[i + 1]);
    } else {
      std::remove(path.c_str());
    }
  }
  velk::fuzz::load_and_check(data, size, [&] { return velk::ShmTrace::from_file(dir); });
  return 0;
}
