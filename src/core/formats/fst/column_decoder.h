// Decodes the value changes of an FST file signal by signal, straight into
// the change lists of a value store.
//
// Each signal's chain holds its records in time order, and signals do not
// depend on one another, so a section is decoded one chain after the other
// (each chain read front to back while its change list is hot in cache),
// with the signals split over threads by contiguous ranges of trace ids.
// The store is exactly the one that reporting every value in time order
// (FstReader::read_signals) and appending it at its index would build.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "formats/fst/fst_input.h"
#include "formats/fst/fst_types.h"
#include "model/value_store.h"

namespace velk::fst {

// Marks a geometry signal that no trace name refers to.
inline constexpr std::uint32_t kNoTraceId = 0xFFFFFFFFu;

struct ColumnLayout {
  // Per geometry signal index: its trace id, or kNoTraceId.
  std::span<const std::uint32_t> ids;
  // The trace's time per index: a value at time T goes to the first index
  // holding T (the index before the first later time when T is missing).
  std::span<const std::uint64_t> timestamps;
  // Threads to decode with (0: as many as the machine has); the store does
  // not depend on it.
  unsigned threads = 0;
};

// The store of every value change, filling after changes. Nothing when the
// file needs the time-ordered reading instead: when any part of it fails to
// decode (that reading then reports the failure as it always has), or when a
// signal's values go back in time.
std::optional<ValueStore> decode_columns(FstInput& in, const MetaData& meta, const ColumnLayout& layout);

}  // namespace velk::fst
