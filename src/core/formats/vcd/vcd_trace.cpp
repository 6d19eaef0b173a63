#include "formats/vcd/vcd_trace.h"

#include "io/byte_source.h"
#include "io/file_bytes.h"

namespace velk {
namespace {

Expected<InputFile> open_input(const std::string& path) {
  auto file = open_input_file(path);
  if (!file) return std::move(file).error().prefixed("Failed to open " + path + ": ");
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

Expected<LoadedTrace> VcdTrace::read_file(const std::string& path, const VcdLoadOptions& options) {
  auto file = open_input(path);
  if (!file) return std::move(file).error();
  FileByteSource source(file.value().fd(), file.value().size());
  return as_vcd(load_vcd(source, options));
}

Expected<LoadedTrace> VcdTrace::read_gzip_file(const std::string& path, const VcdLoadOptions& options) {
  auto file = open_input(path);
  if (!file) return std::move(file).error();
  FileByteSource compressed(file.value().fd(), file.value().size());
  GzipByteSource source(compressed);
  LoadedTrace trace = load_vcd(source, options);
  if (const auto failure = source.failure()) {
    return Error::format("Failed to decompress " + path + ": " + *failure);
  }
  return as_vcd(std::move(trace));
}

}  // namespace velk
