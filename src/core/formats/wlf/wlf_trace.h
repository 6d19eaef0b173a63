#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "io/byte_view.h"
#include "io/error.h"
#include "model/loaded_trace.h"

namespace velk {

// Reader for WLF logs: a file of 8192-byte pages. Names come from an
// identifier scan of page 0 (and, when the header promises more, pages 1-3);
// values come from pages marked FF FF, as byte values on a time axis whose
// times equal their index.
class WlfTrace {
 public:
  static Expected<LoadedTrace> from_file(const std::string& path);
};

namespace wlf {

inline constexpr std::size_t kPageSize = 8192;

// Loads a whole WLF file already in memory; from_file reads and calls this.
Expected<LoadedTrace> parse(Bytes data);

// Reads one length-prefixed printable string from page 0 at `cursor` and
// advances the cursor past it. An empty length, a string running past page 0
// or a non-printable byte gives "" with the cursor just after the length byte.
std::string read_lpstr(Bytes data, std::size_t& cursor);

}  // namespace wlf
}  // namespace velk
