// Parses a run of whole VCD lines into the timestamps and value changes it
// holds. Runs of one file are parsed independently (and in parallel) and
// joined in file order: a change is numbered by how many timestamp lines of
// its own run precede it, and the join turns that into a global index.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "formats/vcd/vcd_code_table.h"
#include "formats/vcd/vcd_declarations.h"
#include "model/signal_value.h"

namespace velk {

struct VcdChange {
  std::uint32_t id;
  // Timestamp lines of the run read before this change: 0 means the change
  // belongs to the index that was current when the run began.
  std::uint32_t step;
  SignalValue value;
};

struct VcdRun {
  std::vector<std::uint64_t> timestamps;
  std::vector<VcdChange> changes;

  void clear() noexcept {
    timestamps.clear();
    changes.clear();
  }
  // Orders the changes by signal, keeping file order within each signal, so
  // that the join writes one signal's changes at a time.
  void group_by_signal();

 private:
  std::vector<VcdChange> spare_;
  std::vector<std::uint32_t> starts_;
};

// Parses `text` into `out` with a fixed code table. Stops at the first
// declaration line (which would change the table for what follows) and
// returns its offset; returns text.size() when the whole text was parsed.
std::size_t parse_vcd_run(std::string_view text, const VcdCodeTable& codes, VcdRun& out);

// Parses `text` into `out`, applying declaration lines as they come.
void parse_vcd_run_applying(std::string_view text, VcdDeclarations& declarations, VcdRun& out);

}  // namespace velk
