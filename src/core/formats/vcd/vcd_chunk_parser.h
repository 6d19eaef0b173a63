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
#include "model/bulk_allocator.h"

namespace velk {

// One value change, 16 bytes and no heap: values that fit a word are kept
// in it, the others (four-state and wide vectors, z) in the run's side list.
struct VcdChange {
  enum class Kind : std::uint32_t { Bits = 0, Empty = 1, Real = 2, Listed = 3 };
  // Steps above this do not fit; the loader keeps runs far below it.
  static constexpr std::uint32_t kMaxStep = (1u << 30) - 1;

  static VcdChange make(std::uint32_t id, std::uint32_t step, Kind kind, std::uint64_t word) noexcept {
    return {id, step | (static_cast<std::uint32_t>(kind) << 30), word};
  }
  // Timestamp lines of the run read before this change: 0 means the change
  // belongs to the index that was current when the run began.
  std::uint32_t step() const noexcept { return step_kind & kMaxStep; }
  Kind kind() const noexcept { return static_cast<Kind>(step_kind >> 30); }

  std::uint32_t id;
  std::uint32_t step_kind;
  // Bits: the bits; Real: the double's bit pattern; Empty: 0; Listed: the
  // position in VcdRun::listed.
  std::uint64_t word;
};
static_assert(sizeof(VcdChange) == 16);

using VcdChanges = BulkList<VcdChange>;

// The changes of one signal in a run grouped by signal: they begin at
// changes[begin] and end where the next group begins.
struct VcdGroup {
  std::uint32_t id;
  std::uint32_t begin;
};

struct VcdRun {
  std::vector<std::uint64_t> timestamps;
  VcdChanges changes;
  std::vector<SignalValue> listed;
  // After group_by_signal: one group per signal that changed, by ascending
  // id, and a last entry {UINT32_MAX, changes.size()} that ends them.
  std::vector<VcdGroup> groups;

  void clear() noexcept {
    timestamps.clear();
    changes.clear();
    listed.clear();
    groups.clear();
    counted_ = false;
  }
  // Makes room for the parser to count the changes of each of `ids`
  // signals as it writes them, at counts[id + 1] (an id of kNone, which
  // wraps to 0, lands in a slot of its own); the grouping then needs no
  // count of its own. Only for a run with no changes yet.
  std::uint32_t* count_by_signal(std::uint32_t ids);
  // The counts cover only part of the changes: the grouping counts again.
  void forget_counts() noexcept { counted_ = false; }
  // Orders the changes by signal, keeping file order within each signal, so
  // that the join writes one signal's changes at a time, and lists the groups.
  // (Placing each change in its signal's room as it is parsed, with rooms
  // sized by the previous block's counts, was measured: it saves this pass's
  // instructions, but the parse's scattered writes cost as much time.)
  void group_by_signal();
  // The value of a change.
  SignalValue value(const VcdChange& change) const;

 private:
  // Orders the changes by id, keeping file order within each id; their ids
  // lie in [lo, lo + span).
  void sort_by_id(std::uint32_t lo, std::size_t span);

  VcdChanges spare_;
  std::vector<std::uint32_t> starts_;
  bool counted_ = false;  // starts_ holds the counts by id + 1 from 0
};

// Parses `text` into `out` with a fixed code table. Stops at the first
// declaration line (which would change the table for what follows) and
// returns its offset; returns text.size() when the whole text was parsed.
std::size_t parse_vcd_run(std::string_view text, const VcdCodeTable& codes, VcdRun& out);

// Parses `text` into `out`, applying declaration lines as they come.
void parse_vcd_run_applying(std::string_view text, VcdDeclarations& declarations, VcdRun& out);

}  // namespace velk
