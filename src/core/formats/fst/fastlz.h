// FastLZ (levels 1 and 2) decoding straight from the positioned input.
#pragma once

#include <cstdint>
#include <vector>

#include "formats/fst/fst_input.h"
#include "formats/fst/reader_error.h"

namespace velk::fst::fastlz {

// Consumes `compressed_length` bytes of FastLZ data from `in` and appends the
// decoded bytes to `out`. `uncompressed_length` only sizes the reservation:
// the output is what the data produce. A match that reaches before the start
// of this call's output, or an instruction that reads past the compressed
// length, is refused as malformed.
Status decompress(FstInput& in, std::uint64_t compressed_length, std::uint64_t uncompressed_length,
                  std::vector<std::uint8_t>& out);

}  // namespace velk::fst::fastlz
