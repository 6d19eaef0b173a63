#include "formats/shm/shm_timeline.h"

#include <algorithm>
#include <iterator>
#include <span>

#include "model/column_builder.h"

namespace velk::shm {
namespace {

constexpr std::size_t kNotOld = SIZE_MAX;

std::size_t index_of(const std::vector<std::uint64_t>& times, std::uint64_t t) {
  return static_cast<std::size_t>(std::lower_bound(times.begin(), times.end(), t) - times.begin());
}

// The merged time axis and where each earlier index went.
struct Timeline {
  std::vector<std::uint64_t> merged;
  std::vector<std::size_t> old_at;  // per merged index: the earlier index there, or kNotOld
  std::vector<std::size_t> moved;   // per earlier index: its merged index
};

Timeline merge_times(const std::vector<std::uint64_t>& old_times, const std::vector<std::uint64_t>& times) {
  Timeline t;
  t.merged.reserve(old_times.size() + times.size());
  std::set_union(old_times.begin(), old_times.end(), times.begin(), times.end(), std::back_inserter(t.merged));
  t.old_at.assign(t.merged.size(), kNotOld);
  t.moved.resize(old_times.size());
  for (std::size_t i = 0; i < old_times.size(); ++i) {
    t.moved[i] = index_of(t.merged, old_times[i]);
    t.old_at[t.moved[i]] = i;
  }
  return t;
}

using SignalEvents = std::span<const std::pair<std::size_t, bool>>;

// The merged indices at which one signal's value can change, into `points`:
// the first index, where its earlier value changes, its events, and the first
// earlier index after each event (where the earlier value is restated).
void change_points(SignalCursor old_values, std::size_t old_count, const Timeline& t, SignalEvents events,
                   std::vector<std::size_t>& points) {
  points.assign(1, 0);
  if (old_count > 0) {
    old_values.visit_runs(0, old_count, [&](std::size_t i, const SignalValue&) { points.push_back(t.moved[i]); });
  }
  for (const auto& [at, bit] : events) {
    points.push_back(at);
    const auto next_old = std::upper_bound(t.moved.begin(), t.moved.end(), at);
    if (next_old != t.moved.end()) points.push_back(*next_old);
  }
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());
}

// Records one signal's values at its change points; between them the value
// carries (every index without a record takes the one before). `points` is
// scratch space, kept between signals.
void record_signal(ColumnBuilder& columns, std::uint32_t id, SignalCursor old_values, std::size_t old_count,
                   const Timeline& t, SignalEvents events, std::vector<std::size_t>& points) {
  change_points(old_values, old_count, t, events, points);
  std::size_t next_event = 0;
  for (const std::size_t at : points) {
    while (next_event < events.size() && events[next_event].first < at) ++next_event;
    SignalValue value;
    if (next_event < events.size() && events[next_event].first == at) {
      value = SignalValue::bits(events[next_event].second);
    } else if (t.old_at[at] != kNotOld) {
      value = old_values.at(t.old_at[at]);
    }
    if (value.is_empty() && at == 0) value = SignalValue::bits(0);
    if (!value.is_empty()) columns.record(id, at, std::move(value));
  }
}

// The events as (signal, merged index, bit), sorted by signal and index with
// one entry per signal and index: the last in file order wins.
struct PlacedEvent {
  std::uint32_t id;
  std::size_t at;
  bool bit;
};

std::vector<PlacedEvent> place_events(const std::vector<Event>& events, std::uint32_t names,
                                      const std::vector<std::uint64_t>& merged) {
  std::vector<PlacedEvent> placed;
  placed.reserve(events.size());
  for (const Event& e : events) {
    if (e.id < names) placed.push_back({e.id, index_of(merged, e.time), e.bit});
  }
  std::stable_sort(placed.begin(), placed.end(),
                   [](const PlacedEvent& a, const PlacedEvent& b) { return a.id != b.id ? a.id < b.id : a.at < b.at; });
  std::vector<PlacedEvent> kept;  // the last of every run of equal (id, index)
  kept.reserve(placed.size());
  for (std::size_t k = 0; k < placed.size(); ++k) {
    const bool last = k + 1 == placed.size() || placed[k + 1].id != placed[k].id || placed[k + 1].at != placed[k].at;
    if (last) kept.push_back(placed[k]);
  }
  return kept;
}

}  // namespace

void apply_events(LoadedTrace& trace, std::uint32_t names, const std::vector<Event>& events,
                  const std::vector<std::uint64_t>& times) {
  const Timeline t = merge_times(trace.timestamps, times);
  const std::vector<PlacedEvent> placed = place_events(events, names, t.merged);
  ColumnBuilder columns;
  std::vector<std::pair<std::size_t, bool>> own;  // one signal's events, scratch
  std::vector<std::size_t> points;                 // scratch
  std::size_t next = 0;
  for (std::uint32_t id = 0; id < names; ++id) {
    own.clear();
    for (; next < placed.size() && placed[next].id == id; ++next) own.emplace_back(placed[next].at, placed[next].bit);
    record_signal(columns, id, trace.store.cursor(id), trace.timestamps.size(), t, own, points);
  }
  trace.timestamps = t.merged;
  columns.build_into(trace.store, trace.timestamps.size(), ColumnBuilder::Fill::AfterChanges);
}

}  // namespace velk::shm
