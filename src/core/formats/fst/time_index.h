// The trace index of a value's time, as the FST loaders place values.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace velk::fst {

// The first index holding `time`, or the index before the first later time
// (0 when there is none before): writers repeat a section's last time as the
// next section's first, so a time may appear several times, and values go to
// the first index holding it. A sorted table (every writer's) is searched
// onwards from the previous answer; an unsorted one by a binary search over
// the whole table, as the time-ordered reading always did.
class TimeIndex {
 public:
  explicit TimeIndex(std::span<const std::uint64_t> ts) : ts_(ts), sorted_(std::is_sorted(ts.begin(), ts.end())) {}

  std::size_t of(std::uint64_t time) {
    if (cached_ && time == cached_time_) return cached_index_;
    auto it = sorted_ ? search_onwards(time) : std::lower_bound(ts_.begin(), ts_.end(), time);
    std::size_t index = static_cast<std::size_t>(it - ts_.begin());
    if (it == ts_.end() || *it != time) index = index == 0 ? 0 : index - 1;
    cached_ = true;
    cached_time_ = time;
    cached_index_ = index;
    return index;
  }

 private:
  // Every time before the previous answer is below a later time.
  std::span<const std::uint64_t>::iterator search_onwards(std::uint64_t time) const {
    auto it = ts_.begin();
    if (cached_ && time > cached_time_) it += static_cast<std::ptrdiff_t>(cached_index_);
    // Consecutive times usually sit at consecutive indices.
    for (int step = 0; step < 4 && it != ts_.end() && *it < time; ++step) ++it;
    if (it != ts_.end() && *it < time) it = std::lower_bound(it, ts_.end(), time);
    return it;
  }

  std::span<const std::uint64_t> ts_;
  bool sorted_;
  bool cached_ = false;
  std::uint64_t cached_time_ = 0;
  std::size_t cached_index_ = 0;
};

}  // namespace velk::fst
