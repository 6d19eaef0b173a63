// Whole-file input for the readers that scan a dump in memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io/result.h"

namespace velk {

// Reads the whole file. On failure the error is "Failed to read {path}: {reason}".
Result<std::vector<std::uint8_t>> read_file_bytes(const std::string& path);

// The operating system's description of errno value `err` ("No such file or directory").
std::string os_error_text(int err);

// Why `path` cannot name a file at all, or nothing. A path with a NUL byte
// would reach the system cut short at the NUL and open a different file.
std::optional<std::string> invalid_path_reason(const std::string& path);

}  // namespace velk
