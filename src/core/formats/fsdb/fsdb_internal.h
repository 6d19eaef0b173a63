// Building blocks of the newer-generation FSDB reader, shared by the fsdb_*.cpp
// files and their tests. Every function takes borrowed, untrusted bytes and
// skips what does not match instead of failing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "formats/scan/scan.h"
#include "io/byte_view.h"
#include "formats/fsdb/fsdb_trace.h"
#include "model/loaded_trace.h"

namespace velk::fsdb {

// Besides letters and digits, the bytes a signal name may hold.
inline constexpr std::string_view kNameExtraChars = "$.:[]_";

// ---- zlib -----------------------------------------------------------------

// try_zlib_decompress with a decoder and output buffer kept between calls,
// for callers that try many positions.
class BlockInflater {
 public:
  BlockInflater();
  ~BlockInflater();
  BlockInflater(const BlockInflater&) = delete;
  BlockInflater& operator=(const BlockInflater&) = delete;

  std::optional<Inflated> inflate(Bytes bytes);
  // Output bytes produced by every attempt so far, failed ones included: the
  // inflate work done, which callers bound.
  std::uint64_t produced_total() const { return produced_total_; }

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
  std::uint64_t produced_total_ = 0;
};

// Inflates the zlib stream at the start of `bytes` to its end, handing each
// piece of output to `on_output`. True only when the stream ends inside
// `bytes` without an error and within `max_output` bytes; the output is not
// kept, so memory stays bounded however far the stream expands, and the limit
// bounds the time a stream made to expand a thousandfold can take.
bool inflate_complete(Bytes bytes, std::uint64_t max_output, const std::function<void(Bytes)>& on_output);

// ---- header and block discovery --------------------------------------------

struct TableEntry {
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
};

struct HeaderTables {
  std::vector<TableEntry> entries;  // block table, repeats removed
  std::uint32_t width_offset = 0;   // 0 = no width table
};

// The block table and width-table offset, read only under the header gate.
HeaderTables read_header_tables(Bytes data);

struct ScannedBlock {
  std::size_t offset = 0;
  std::vector<std::uint8_t> bytes;
};

// How many inflated bytes a file of `file_size` bytes may make the reader keep,
// for the scanned blocks and again for the table blocks: 128 per file byte,
// at least 16 MiB. zlib can expand a byte about a thousandfold, so without it
// a small file of crafted streams would make the reader hold gigabytes.
std::uint64_t inflated_budget(std::size_t file_size);

// Inflates the streams found by their 78 xx headers, at most 20 of them, and
// stops once they hold inflated_budget bytes or the attempts (failed ones
// included) have produced four times that.
std::vector<ScannedBlock> scan_zlib_blocks(Bytes data);

// Inflates each table entry (retrying with two more input bytes), stopping
// once the blocks hold inflated_budget bytes.
std::vector<std::vector<std::uint8_t>> inflate_table_blocks(Bytes data, const std::vector<TableEntry>& entries);

enum class BlockKind {
  Drop,
  LargeNames,     // 11 or more strings: a name source
  SmallNames,     // 3..10 strings: a name source
  NamesAndData,   // carries the 8C mark and 6 or more strings
  DataCandidate,  // decoded for values when the file has no block table
};

// The kind of a scanned block, from the first 1024 bytes and its tail.
BlockKind classify_block(Bytes block);

// Names from the string groups of the file's last 4096 bytes, used when no
// block gave a name.
std::vector<std::string> tail_fallback_names(Bytes data);

// Widths of the first names in list order from the width table at
// `width_offset`; nothing when the table is missing, truncated or does not
// inflate as a whole.
std::optional<std::vector<std::uint32_t>> read_width_table(Bytes data, std::uint32_t width_offset,
                                                           std::size_t name_count);

// ---- values ----------------------------------------------------------------

struct Event {
  std::uint64_t time = 0;
  std::uint32_t signal = 0;
  std::uint64_t value = 0;
};

// The events of one data block in their stored order; nothing when the block
// is not recognised as a data block. At most `max_events` are produced: the
// offset records multiply with the timed pairs, so a small crafted block
// could otherwise ask for billions of events.
std::optional<std::vector<Event>> decode_data_block(Bytes block, std::size_t name_count,
                                                    std::size_t max_events = SIZE_MAX);

// All values stored so far, kept per signal as the times at which its value
// changes, so that a later block's new timestamps leave earlier values at
// their times. Reading the value at any timestamp gives the same grid a dense
// store with forward fill would hold.
class ValueGrid {
 public:
  // Inserts the block's new timestamps, stores its events (later ones win at
  // the same slot), sets signals 0 .. name_count-1 without a value at time 0
  // to 0 and carries values forward into the new timestamps.
  void apply_block(const std::vector<Event>& events, std::size_t name_count);
  // Number of dense slots (signals x timestamps) the grid would fill if the
  // block's events were applied; an upper bound, used to refuse blocks that
  // would make the store larger than the file justifies.
  std::size_t cells_after(const std::vector<Event>& events, std::size_t name_count) const;

  // Every timestamp, ascending; starts as {0}.
  std::vector<std::uint64_t> timestamps() const;
  // Writes the dense grid into `trace` (timestamps and store).
  void store_into(LoadedTrace& trace) const;

 private:
  using Changes = std::map<std::uint64_t, std::uint64_t>;  // time -> value from then on
  std::optional<std::uint64_t> value_at(const Changes& changes, std::uint64_t time) const;

  std::set<std::uint64_t> times_{0};
  std::vector<Changes> columns_;
};

}  // namespace velk::fsdb
