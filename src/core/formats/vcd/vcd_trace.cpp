#include "formats/vcd/vcd_trace.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <sys/stat.h>

#include "io/byte_source.h"
#include "io/file_bytes.h"

namespace velk {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

Result<FilePtr> open_input(const std::string& path) {
  if (const auto reason = invalid_path_reason(path)) return Error{"Failed to open " + path + ": " + *reason};
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) return Error{"Failed to open " + path + ": " + os_error_text(errno)};
  // fopen accepts a directory on Linux and only the first read fails; report
  // it as the open failure it is rather than loading an empty trace.
  struct stat st {};
  if (fstat(fileno(file.get()), &st) == 0 && S_ISDIR(st.st_mode)) {
    return Error{"Failed to open " + path + ": " + os_error_text(EISDIR)};
  }
  return file;
}

LoadedTrace as_vcd(LoadedTrace trace) {
  trace.unknown_width = 0;
  return trace;
}

}  // namespace

LoadedTrace VcdTrace::parse(std::string_view text, const VcdLoadOptions& options) {
  return as_vcd(load_vcd_text(text, options));
}

Result<LoadedTrace> VcdTrace::read_file(const std::string& path, const VcdLoadOptions& options) {
  auto file = open_input(path);
  if (!file) return Error{file.error()};
  FileByteSource source(file.value().get());
  return as_vcd(load_vcd(source, options));
}

Result<LoadedTrace> VcdTrace::read_gzip_file(const std::string& path, const VcdLoadOptions& options) {
  auto file = open_input(path);
  if (!file) return Error{file.error()};
  FileByteSource compressed(file.value().get());
  GzipByteSource source(compressed);
  LoadedTrace trace = load_vcd(source, options);
  if (const auto failure = source.failure()) return Error{"Failed to decompress " + path + ": " + *failure};
  return as_vcd(std::move(trace));
}

}  // namespace velk
