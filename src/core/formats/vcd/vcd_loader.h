// Loads VCD text into a LoadedTrace, parsing blocks of lines on several
// threads and joining them in file order. The result is the same for any
// thread count and block size.
#pragma once

#include <cstddef>
#include <string_view>

#include "io/byte_source.h"
#include "io/error.h"
#include "io/line_reader.h"
#include "model/loaded_trace.h"

namespace velk {

struct VcdLoadOptions {
  unsigned threads = 0;                // 0: one per hardware thread
  // Lines are parsed in blocks of about this size: small enough that a
  // block's change records stay in the core's cache while they are parsed
  // and grouped.
  std::size_t block_bytes = 256 << 10;
  // A line longer than this ends the load with a Limit error (memory for one
  // line is bounded by it); at least two blocks.
  std::size_t max_line_bytes = kMaxLineBytes;
};

// Streams `source` to its end (a failure of the source ends the input; the
// caller decides what a failure means). Fails only for a line longer than
// options.max_line_bytes: a Limit error at the byte where the line starts.
Expected<LoadedTrace> load_vcd(ByteSource& source, const VcdLoadOptions& options = {});
LoadedTrace load_vcd_text(std::string_view text, const VcdLoadOptions& options = {});

}  // namespace velk
