// Pieces of a value-change section: its time table, its offset table and the
// record format of its chains.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "formats/fst/decompress.h"
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

// One value-change section made ready for decoding, step by step: its fields
// and time table, its frame, its offset table, and the chains unpacked into
// one buffer. The steps read the input in file order; the buffers live
// across sections, so decoding a file allocates only when a section needs
// more room than any before it.
class SectionChains {
 public:
  SectionChains(FstInput& in, const MetaData& meta);

  // Checks the section's fields against `section` and reads its time table;
  // leaves the input at the frame.
  Status begin(const SectionLocation& section);
  // Reads the frame, keeping its bytes when `keep` and skipping them otherwise.
  Status read_frame(const SectionLocation& section, bool keep);
  // Reads the offset table into chains().
  Status locate(const SectionLocation& section);
  // Forgets the chains unpacked for the previous section.
  void clear_unpacked();
  // Unpacks one chain of chains() (an aliased chain once, shared by its signals).
  Status unpack(const ChainLocation& chain);

  const std::vector<std::uint64_t>& times() const { return times_; }
  bool has_frame() const { return has_frame_; }
  std::span<const std::uint8_t> frame() const { return frame_bytes_; }
  const std::vector<ChainLocation>& chains() const { return chains_; }
  // The unpacked records of signal index `s` (empty if its chain is not unpacked).
  std::span<const std::uint8_t> unpacked(std::uint32_t s) const {
    return std::span<const std::uint8_t>(chain_bytes_).subspan(start_[s], length_[s]);
  }

 private:
  FstInput& in_;
  const MetaData& meta_;
  std::vector<std::uint64_t> times_;
  std::uint64_t time_bytes_ = 0;  // the time table's compressed bytes and fields
  bool has_frame_ = false;
  std::uint64_t chain_base_ = 0;
  PackType pack_ = PackType::Zlib;
  std::vector<ChainLocation> chains_;
  std::vector<std::uint8_t> frame_bytes_;
  std::vector<std::uint8_t> table_bytes_;
  std::vector<std::uint8_t> chain_bytes_;     // the unpacked chains, one after the other
  std::vector<std::uint8_t> scratch_;         // compressed bytes on their way in
  std::vector<std::uint32_t> start_;          // per signal: its records in chain_bytes_
  std::vector<std::uint32_t> length_;
  std::vector<std::uint32_t> unpacked_at_;    // per chain owner: the signal that unpacked it
};

}  // namespace velk::fst
