// Sequential reading of one signal for the scans over all indices. Internal
// to the eval subsystem.
//
// A scan asks a cursor for values at ascending indices and for the indices at
// which the signal may change; everything the scans know about how values
// are stored is in this class, so a store that keeps change lists serves the
// scans by answering these two questions from its lists.
#pragma once

#include <cstddef>
#include <cstdint>

#include "model/trace.h"

namespace velk::detail {

class LeafCursor {
 public:
  LeafCursor(const Trace& trace, std::uint32_t id) : trace_(&trace), id_(id) {}

  // The value at `index`; calls come with ascending indices. Whatever the
  // trace hands out (a stored value or a copy) goes through held_cell.
  decltype(auto) value(std::size_t index) const noexcept { return trace_->value_at(id_, index); }

  // Calls f(u) for every index u in [lo, hi), ascending, at which the value
  // may differ from the one at u - 1 (lo >= 1). Reporting an index where
  // nothing changed costs time but never changes a result.
  template <class F>
  void for_each_change(std::size_t lo, std::size_t hi, F&& f) const {
    for (std::size_t u = lo; u < hi; ++u) f(u);
  }

  // True when for_each_change reports every index, so that a scan can mark
  // a whole block at once instead.
  bool reports_every_index() const noexcept { return true; }

 private:
  const Trace* trace_;
  std::uint32_t id_;
};

}  // namespace velk::detail
