// The dump formats velk reads, in one table: each entry names a format, says
// how to recognise it from the start of a file (or from a directory), and
// loads it. Opening a dump by content, and forcing a format by name, both go
// through this table, so adding a format is one folder below formats/ and one
// entry in the table.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io/byte_view.h"
#include "io/error.h"
#include "model/trace.h"

namespace velk {

// What detection sees of a path: the first bytes of a file, or the fact that
// the path is a directory.
struct FileProbe {
  std::string path;
  bool is_directory = false;
  std::uint64_t size = 0;  // of the file; 0 for a directory
  std::vector<std::uint8_t> head;  // the first kProbeBytes bytes (fewer for a short file)
};

struct DumpFormat {
  std::string_view name;         // "vcd", "fst", ...: what format= accepts
  std::string_view description;  // for listings and errors
  // Recognises the format from the probe alone.
  bool (*recognises)(const FileProbe& probe);
  // Loads the dump; the error is the reader's own text.
  Expected<std::shared_ptr<const Trace>> (*load)(const std::string& path);
};

// Bytes of a file that detection reads: one WLF page and the header of any
// other format fit.
inline constexpr std::size_t kProbeBytes = 16384;

// Every format, in the order detection tries them (specific magic numbers
// first, the text and structural tests last).
std::span<const DumpFormat> dump_formats();

// The entry called `name`, or nothing.
const DumpFormat* find_dump_format(std::string_view name);

// The first entry that recognises `probe`, or nothing.
const DumpFormat* detect_dump_format(const FileProbe& probe);

// Reads the probe of `path`. Errors: "Failed to read {path}: {reason}".
Expected<FileProbe> probe_path(const std::string& path);

}  // namespace velk
