// Laying one transition file's events onto a trace's time axis.
#pragma once

#include <cstdint>
#include <vector>

#include "model/loaded_trace.h"

namespace velk::shm {

// Signal `id` holds `bit` from `time` on.
struct Event {
  std::uint64_t time;
  std::uint32_t id;
  bool bit;
};

// Merges `times` (ascending, without duplicates) into the trace's timestamps
// and lays the events over the values already there, for signals 0 .. names-1:
// a value held at an index the trace already had is restated at that index
// (so an event lasts until the next of those indices), an event replaces the
// value at its own index (the last event of a signal at one time counts), a
// signal without a value at the first index gets 0 there, and every index
// without a value carries the one before. Costs the number of stored changes
// and events (with a binary search each), never signals x timestamps.
void apply_events(LoadedTrace& trace, std::uint32_t names, const std::vector<Event>& events,
                  const std::vector<std::uint64_t>& times);

}  // namespace velk::shm
