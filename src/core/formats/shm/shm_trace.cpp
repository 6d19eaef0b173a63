// Locating the files of an SHM database and loading them in order.
#include "formats/shm/shm_trace.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "formats/scan/scan.h"
#include "io/file_bytes.h"

namespace velk {
namespace shm {
namespace {

namespace fs = std::filesystem;

std::string ascii_lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// Directory entries, sorted by file name so that the result does not depend
// on the order in which the file system lists them. Entries that cannot be
// read end the listing early rather than failing it.
std::optional<std::vector<fs::path>> sorted_entries(const std::string& dir) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) return std::nullopt;
  std::vector<fs::path> entries;
  while (it != fs::directory_iterator()) {
    entries.push_back(it->path());
    it.increment(ec);
    if (ec) break;
  }
  std::sort(entries.begin(), entries.end(),
            [](const fs::path& a, const fs::path& b) { return a.filename().native() < b.filename().native(); });
  return entries;
}

Expected<Files> files_in_directory(const std::string& dir) {
  const Error none = Error::io("No .dsn/.trn in " + dir);
  const auto entries = sorted_entries(dir);
  if (!entries) return none;
  Files files;
  for (const auto& entry : *entries) {
    const std::string name = ascii_lower(entry.filename().native());
    if (name.ends_with(".dsn")) files.design = entry.native();  // a later one replaces an earlier one
    if (name.ends_with(".trn")) files.transitions.push_back(entry.native());
  }
  if (!files.design && files.transitions.empty()) return none;
  std::sort(files.transitions.begin(), files.transitions.end());
  return files;
}

std::optional<std::string> existing_sibling(const std::string& path, const char* extension) {
  fs::path sibling(path);
  sibling.replace_extension(extension);
  std::error_code ec;
  if (!fs::exists(sibling, ec)) return std::nullopt;
  return sibling.native();
}

// A single file: the extension decides its role, and a sibling with the
// other extension completes the database when it exists.
Files files_beside(const std::string& path) {
  const std::string ext = ascii_lower(fs::path(path).extension().native());
  Files files;
  if (ext == ".trn") {
    files.transitions.push_back(path);
    files.design = existing_sibling(path, "dsn");
    return files;
  }
  files.design = path;
  if (ext == ".dsn") {
    if (auto trn = existing_sibling(path, "trn")) files.transitions.push_back(std::move(*trn));
  }
  return files;
}

Expected<LoadedTrace> load_design(const std::optional<std::string>& design) {
  if (!design) {
    LoadedTrace trace;
    trace.timestamps = {0};
    return trace;
  }
  // The design file's error carries the reason alone, after "DSN: ".
  auto bytes = read_whole_file(*design);
  if (!bytes) return std::move(bytes).error().prefixed("DSN: ");
  return parse_design(bytes.value());
}

}  // namespace

Expected<Files> locate_files(const std::string& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return files_in_directory(path);
  return files_beside(path);
}

}  // namespace shm

Expected<LoadedTrace> ShmTrace::from_file(const std::string& path) {
  // The design file is the path itself when it is not a directory, so this is
  // the error reading it would give.
  if (const auto reason = invalid_path_reason(path)) return Error::io("DSN: " + *reason);
  auto files = shm::locate_files(path);
  if (!files) return std::move(files).error();
  auto trace = shm::load_design(files.value().design);
  if (!trace) return trace;
  for (const auto& trn : files.value().transitions) {
    const auto bytes = read_file_bytes(trn);
    if (bytes) shm::decode_transitions(bytes.value(), trace.value());
  }
  return trace;
}

}  // namespace velk
