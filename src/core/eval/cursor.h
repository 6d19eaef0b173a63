// Sequential reading of one signal for the scans over all indices. Internal
// to the eval subsystem.
//
// A scan reads each leaf block by block as the runs of equal values the
// store keeps: one cursor step per change, never one per index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "eval/program.h"
#include "model/trace.h"

namespace velk::detail {

// The runs of one signal over a range of indices: runs[r] holds from
// starts[r] up to starts[r + 1] (the last one to the end of the range).
class LeafRuns {
 public:
  LeafRuns(const Trace& trace, std::uint32_t id, std::size_t capacity)
      : cursor_(trace.cursor(id)), capacity_(capacity) {}

  // Reads the runs over [lo, hi); lo < hi, and hi - lo at most the capacity.
  void read(std::size_t lo, std::size_t hi) {
    if (starts_.empty()) {  // first use: scans of busy signals may never get here
      starts_.resize(capacity_);
      cells_.resize(capacity_);
      held_.reserve(capacity_);  // never reallocated: cells point into it
    }
    count_ = 0;
    held_.clear();
    cursor_.visit_runs(lo, hi, [this](std::size_t u, const SignalValue& v) __attribute__((always_inline)) {
      starts_[count_] = u;
      cells_[count_] = keep(v);
      ++count_;
    });
  }

  // The readings over [lo, hi) as columns (see SignalCursor::read_words).
  std::size_t read_words(std::size_t lo, std::size_t hi, std::uint64_t* word, std::uint64_t* known,
                         bool& all_bits) noexcept {
    return cursor_.read_words(lo, hi, word, known, all_bits);
  }

  // Stored changes at indices in [lo, hi) (two binary searches).
  std::size_t changes_in(std::size_t lo, std::size_t hi) const noexcept {
    return cursor_.changes_before(hi) - cursor_.changes_before(lo);
  }

  std::size_t count() const noexcept { return count_; }
  const std::size_t* starts() const noexcept { return starts_.data(); }
  const Cell* cells() const noexcept { return cells_.data(); }

 private:
  // The value lasts for one call only: word-sized values go inline into the
  // cell, shared payloads are held (a copy shares the block).
  Cell keep(const SignalValue& v) {
    const Cell c = cell_of(v);
    if (c.ref != &v) return c;
    held_.push_back(v);
    return Cell{0, &held_.back()};
  }

  SignalCursor cursor_;
  std::size_t capacity_;
  std::vector<std::size_t> starts_;
  std::vector<Cell> cells_;
  std::vector<SignalValue> held_;
  std::size_t count_ = 0;
};

}  // namespace velk::detail
