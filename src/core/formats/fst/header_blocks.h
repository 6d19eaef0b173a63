// The blocks that opening decodes in full: header, geometry and blackout.
// Each reader starts at the block's section length field (just after the
// block type byte) and leaves the input at the end of the block.
#pragma once

#include <utility>
#include <vector>

#include "formats/fst/fst_input.h"
#include "formats/fst/fst_types.h"
#include "formats/fst/reader_error.h"

namespace velk::fst {

inline constexpr std::uint64_t kHeaderSectionLength = 329;

struct HeaderBlock {
  Header header;
  FloatEndian float_endian;
};

Expected<HeaderBlock> read_header_block(FstInput& in);
Expected<std::vector<SignalInfo>> read_geometry_block(FstInput& in);
Expected<std::vector<BlackoutEntry>> read_blackout_block(FstInput& in);

}  // namespace velk::fst
