// Whole-file input for the readers that scan a dump in memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/result.h"

namespace velk {

// Reads the whole file. On failure the error is "Failed to read {path}: {reason}".
Result<std::vector<std::uint8_t>> read_file_bytes(const std::string& path);

// The operating system's description of errno value `err` ("No such file or directory").
std::string os_error_text(int err);

}  // namespace velk
