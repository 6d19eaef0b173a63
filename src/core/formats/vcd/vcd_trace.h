// Value Change Dump text loaded into the common model: a LoadedTrace whose
// width for an unknown name is 0.
#pragma once

#include <string>
#include <string_view>

#include "formats/vcd/vcd_loader.h"
#include "io/error.h"
#include "model/loaded_trace.h"

namespace velk {

struct VcdTrace {
  // Reads the whole text; never fails (malformed lines are skipped).
  static LoadedTrace parse(std::string_view text, const VcdLoadOptions& options = {});
  // Streams the file; the only error is "Failed to open {path}: {reason}".
  static Expected<LoadedTrace> from_file(const std::string& path) { return read_file(path, {}); }
  // Streams a gzip-compressed file through the decompressor into the same
  // parser. Besides the open failure, a stream that is not gzip, is corrupt
  // or is cut short gives "Failed to decompress {path}: {reason}".
  static Expected<LoadedTrace> from_gzip_file(const std::string& path) { return read_gzip_file(path, {}); }

  // The same with a chosen thread count and block size.
  static Expected<LoadedTrace> read_file(const std::string& path, const VcdLoadOptions& options);
  static Expected<LoadedTrace> read_gzip_file(const std::string& path, const VcdLoadOptions& options);
};

}  // namespace velk
