// Laying transition events onto a trace: the change-based merge against the
// dense grid it replaced (kept here as the reference), on random traces with
// explicit Empty values, random event times (old and new) and repeated events.
#include "formats/shm/shm_timeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "model/dense_reference.h"

namespace velk::shm {
namespace {

using reference::DenseStore;

std::size_t index_of(const std::vector<std::uint64_t>& times, std::uint64_t t) {
  return static_cast<std::size_t>(std::lower_bound(times.begin(), times.end(), t) - times.begin());
}

// The dense algorithm: every old value copied to a grid slot, slots moved to
// the merged axis, events written over them, index 0 defaulted, then every
// non-Empty slot recorded with the carry-forward fill.
std::vector<std::vector<SignalValue>> dense_reference(const LoadedTrace& trace, std::uint32_t names,
                                                      const std::vector<Event>& events,
                                                      const std::vector<std::uint64_t>& merged) {
  DenseStore grid;
  for (std::uint32_t id = 0; id < names; ++id) {
    for (std::size_t i = 0; i < trace.timestamps.size(); ++i) {
      const SignalValue v = trace.store.get(id, i);
      if (!v.is_empty()) grid.set(id, index_of(merged, trace.timestamps[i]), v);
    }
  }
  for (const Event& e : events) grid.set(e.id, index_of(merged, e.time), SignalValue::bits(e.bit));
  for (std::uint32_t id = 0; id < names; ++id) {
    if (grid.at(id, 0).is_empty()) grid.set(id, 0, SignalValue::bits(0));
  }
  std::vector<std::vector<SignalValue>> out(names, std::vector<SignalValue>(merged.size()));
  for (std::uint32_t id = 0; id < names; ++id) {
    SignalValue carried;
    for (std::size_t i = 0; i < merged.size(); ++i) {
      if (!grid.at(id, i).is_empty()) carried = grid.at(id, i);
      out[id][i] = carried;
    }
  }
  return out;
}

TEST(ShmTimeline, MatchesTheDenseGridOnRandomInputs) {
  std::mt19937 rng(17);
  for (int round = 0; round < 500; ++round) {
    const std::uint32_t names = 1 + rng() % 5;
    LoadedTrace trace;
    std::uint64_t t = rng() % 2;  // a first timestamp of 0 or not
    for (std::size_t i = 0, n = rng() % 8; i < n; ++i) {
      trace.timestamps.push_back(t);
      t += 1 + rng() % 4;
    }
    for (std::uint32_t id = 0; id < names; ++id) {
      (void)trace.add_signal("s" + std::to_string(id), 1);
      std::vector<SignalValue> column(rng() % (trace.timestamps.size() + 1));
      for (auto& v : column) v = rng() % 3 == 0 ? SignalValue() : SignalValue::bits(rng() % 4);
      trace.store.assign_column(id, column);
    }
    std::vector<Event> events;
    for (std::size_t k = 0, n = rng() % 12; k < n; ++k) {
      events.push_back(Event{rng() % (t + 3), static_cast<std::uint32_t>(rng() % names), rng() % 2 == 1});
    }
    std::vector<std::uint64_t> times{0};
    for (const Event& e : events) times.push_back(e.time);
    if (rng() % 2) times.push_back(t + 5);
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());

    std::vector<std::uint64_t> merged;
    std::set_union(trace.timestamps.begin(), trace.timestamps.end(), times.begin(), times.end(),
                   std::back_inserter(merged));
    const auto want = dense_reference(trace, names, events, merged);
    apply_events(trace, names, events, times);
    ASSERT_EQ(trace.timestamps, merged) << "round " << round;
    for (std::uint32_t id = 0; id < names; ++id) {
      for (std::size_t i = 0; i < merged.size(); ++i) {
        ASSERT_EQ(trace.store.get(id, i), want[id][i]) << "round " << round << " signal " << id << " index " << i;
      }
    }
  }
}

}  // namespace
}  // namespace velk::shm
