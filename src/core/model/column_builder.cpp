#include "model/column_builder.h"

#include <algorithm>

#include "model/run_writer.h"

namespace velk {

void ColumnBuilder::record(std::uint32_t id, std::size_t index, SignalValue value) {
  if (id >= changes_.size()) {
    changes_.resize(static_cast<std::size_t>(id) + 1);
    unsorted_.resize(changes_.size());
  }
  auto& changes = changes_[id];
  if (!changes.empty()) {
    if (changes.back().index == index) {
      changes.back().value = std::move(value);
      return;
    }
    if (changes.back().index > index) unsorted_[id] = true;
  }
  changes.push_back({index, std::move(value)});
}

// Orders by index, keeping for each index the change recorded last.
void ColumnBuilder::sort_changes(std::vector<Change>& changes) {
  std::stable_sort(changes.begin(), changes.end(),
                   [](const Change& a, const Change& b) { return a.index < b.index; });
  std::size_t out = 0;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    if (i + 1 < changes.size() && changes[i + 1].index == changes[i].index) continue;
    changes[out++] = std::move(changes[i]);
  }
  changes.resize(out);
}

// The dense column this replaces had, at index i below `indices`, the recorded
// value (or, filling after changes, the carried one in place of a recorded
// Empty), else the value at i - 1 when that was not Empty; at or past
// `indices` only recorded values, Empty elsewhere. Its runs are written
// directly: only recorded indices and the two places where carrying stops
// (at `indices`, and past a recorded value beyond it) can start a run.
void ColumnBuilder::build_into(ValueStore& store, std::size_t indices, Fill fill) {
  ValueStore built;
  built.columns_.resize(changes_.size());
  detail::ValuePool pool(built.pool_);
  const SignalValue empty;
  for (std::size_t id = 0; id < changes_.size(); ++id) {
    auto& changes = changes_[id];
    if (changes.empty()) continue;
    if (unsorted_[id]) sort_changes(changes);
    detail::ValueColumn& column = built.columns_[id];
    std::size_t from = 0;  // first index not yet covered
    for (const Change& change : changes) {
      const std::size_t i = change.index;
      // Indices from .. i - 1 hold no record: carried below `indices`, Empty from it on.
      const std::size_t stop = std::max(from, indices);
      if (from < i && stop < i) detail::append_run(column, pool, &built.small_blocks_, stop, empty);
      const bool carry = i > 0 && i < indices && !detail::ends_empty(column);
      if (fill == Fill::BeforeChanges || !change.value.is_empty() || !carry) {
        detail::append_run(column, pool, &built.small_blocks_, i, change.value);
      }
      from = i + 1;
    }
    detail::end_column(column, std::max(from, indices));
    detail::trim(column);
    changes = {};
  }
  changes_.clear();
  unsorted_.clear();
  store = std::move(built);
}

}  // namespace velk
