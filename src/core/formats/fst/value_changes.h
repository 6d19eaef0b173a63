// Pieces of a value-change section: its time table, its offset table and the
// record format of its chains.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "formats/fst/fst_input.h"
#include "formats/fst/fst_types.h"
#include "formats/fst/reader_error.h"

namespace velk::fst {

struct TimeTable {
  std::vector<std::uint64_t> times;
  std::uint64_t section_bytes = 0;  // compressed time data plus its three u64 fields
};

// The sample times of the section whose length field lies at `offset`.
Expected<TimeTable> read_time_table(FstInput& in, std::uint64_t offset, std::uint64_t section_length);

// Where a signal's chain lies, relative to the chain base.
struct ChainLocation {
  std::uint32_t signal_index;
  std::uint32_t owner;  // the signal whose entry holds the chain (itself unless an alias)
  std::uint64_t offset;
  std::uint64_t length;
};

// Decodes an offset table of `kind` into the chains it names, in signal index
// order, with aliases resolved to the chain they share. `table_start` is the
// table's distance from the chain base (the end of the last chain).
Expected<std::vector<ChainLocation>> read_signal_locs(std::span<const std::uint8_t> table, std::uint8_t kind,
                                                      std::uint64_t signal_count, std::uint64_t table_start);

// The time-index delta of the record at `pos` without consuming it.
std::uint32_t read_one_bit_signal_time_delta(std::span<const std::uint8_t> bytes, std::size_t pos);
std::uint32_t read_multi_bit_signal_time_delta(std::span<const std::uint8_t> bytes, std::size_t pos);

}  // namespace velk::fst
