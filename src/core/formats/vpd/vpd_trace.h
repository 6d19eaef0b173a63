#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/byte_view.h"
#include "io/error.h"
#include "model/loaded_trace.h"

namespace velk {

// Names-only reader for VPD dumps: the header's section table points at
// sections, and the sections that look like name tables are scanned for
// identifiers. The trace has one index (time 0) and no values.
class VpdTrace {
 public:
  static Expected<LoadedTrace> from_file(const std::string& path);
};

namespace vpd {

// The first four bytes of a VPD file, read little-endian.
inline constexpr std::uint32_t kMagic = 0x12345678;

// Loads a whole VPD file already in memory; from_file reads and calls this.
Expected<LoadedTrace> parse(Bytes data);

}  // namespace vpd
}  // namespace velk
