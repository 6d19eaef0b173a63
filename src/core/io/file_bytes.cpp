#include "io/file_bytes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace velk {

std::string os_error_text(int err) {
  // Matches the wording users see from other tools: "No such file or directory (os error 2)".
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

std::optional<std::string> invalid_path_reason(const std::string& path) {
  if (path.find('\0') != std::string::npos) return "file name contained an unexpected NUL byte";
  return std::nullopt;
}

namespace {
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
}  // namespace

Result<std::vector<std::uint8_t>> read_file_bytes(const std::string& path) {
  auto fail = [&](int err) { return Error{"Failed to read " + path + ": " + os_error_text(err)}; };
  if (const auto reason = invalid_path_reason(path)) return Error{"Failed to read " + path + ": " + *reason};
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return fail(errno);
  struct stat st {};
  if (fstat(fileno(file.get()), &st) != 0) return fail(errno);
  if (S_ISDIR(st.st_mode)) return fail(EISDIR);
  std::vector<std::uint8_t> data;
  if (S_ISREG(st.st_mode) && st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
  std::uint8_t chunk[65536];
  for (;;) {
    const std::size_t n = std::fread(chunk, 1, sizeof chunk, file.get());
    data.insert(data.end(), chunk, chunk + n);
    if (n < sizeof chunk) {
      if (std::ferror(file.get())) return fail(errno ? errno : EIO);
      break;
    }
  }
  return data;
}

}  // namespace velk
