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
  auto trace = load_vcd(source, options);
  if (!trace) return std::move(trace).error().prefixed("Failed to read " + path + ": ");
  return as_vcd(std::move(trace).value());
}

Expected<LoadedTrace> VcdTrace::read_gzip_file(const std::string& path, const VcdLoadOptions& options) {
  auto file = open_input(path);
  if (!file) return std::move(file).error();
  FileByteSource compressed(file.value().fd(), file.value().size());
  GzipByteSource source(compressed);
  auto trace = load_vcd(source, options);
  if (const auto failure = source.failure()) {
    return Error::format("Failed to decompress " + path + ": " + *failure);
  }
  // The offset of a line is one in the decompressed text.
  if (!trace) return std::move(trace).error().reading("the decompressed text").prefixed("Failed to read " + path + ": ");
  return as_vcd(std::move(trace).value());
}

}  // namespace velk
