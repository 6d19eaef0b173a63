// Whole-signal exports for array libraries: the timestamps, and one signal's
// values in run-length form (an entry where the value changes), as flat
// columns of machine numbers rather than one value object per index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "model/trace.h"

namespace velk {

// The run-length form of one signal over an index range. Entry k holds the
// value from indices[k] up to indices[k + 1] (or the end of the range).
struct ChangeColumns {
  // Numbers when every known value is Bits or WideBits (low 64 bits);
  // Real when any known value is a Real (Bits widened to double); Text when
  // any known value is a Str.
  enum class Kind { Unsigned, Real, Text };
  Kind kind = Kind::Unsigned;
  std::vector<std::uint64_t> indices;
  std::vector<std::uint64_t> unsigned_values;  // Unsigned: one per entry, 0 where unknown
  std::vector<double> real_values;             // Real: one per entry, 0.0 where unknown
  std::vector<SignalValue> text_values;        // Text: the values themselves, one per entry
  std::vector<std::uint8_t> unknown;           // 1 where the value is Logic or Empty
};

// Signal `id` over [start, min(end, max_index + 1)): the first entry is at
// start, then one entry per index whose value differs from the previous
// index's (SignalValue equality). Empty columns for an empty range.
ChangeColumns signal_changes(const Trace& trace, std::uint32_t id, std::size_t start, std::size_t end);

// Signal `id` at every index of [start, end), where end <= max_index + 1 and
// both spans hold end - start entries: entry k describes index start + k.
// `words` receives the number as the run-length form gives it (uint64 bits,
// or the bits of a double once any value is Real: the entries written before
// the first Real are widened in place), `unknown` 1 where the value is Logic or
// Empty. Returns the kind; Text means a Str was met and the spans hold nothing
// useful (the run-length form keeps text values). One pass over the stored
// changes plus one write per index, no allocation.
ChangeColumns::Kind fill_dense_column(const Trace& trace, std::uint32_t id, std::size_t start, std::size_t end,
                                      std::span<std::uint64_t> words, std::span<std::uint8_t> unknown);

// One timestamp per index, 0 .. max_index.
std::vector<std::uint64_t> all_timestamps(const Trace& trace);

}  // namespace velk
