#include "model/column_builder.h"

#include <algorithm>

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

void ColumnBuilder::build_into(SignalStore& store, std::size_t indices, Fill fill) {
  for (std::size_t id = 0; id < changes_.size(); ++id) {
    auto& changes = changes_[id];
    if (changes.empty()) continue;
    if (unsorted_[id]) sort_changes(changes);
    const std::size_t length = std::max(indices, changes.back().index + 1);
    std::vector<SignalValue> column;
    column.reserve(length);
    std::size_t next = 0;
    for (std::size_t i = 0; i < length; ++i) {
      const bool changed = next < changes.size() && changes[next].index == i;
      const bool carry = i > 0 && i < indices && !column.back().is_empty();
      if (changed && (fill == Fill::BeforeChanges || !changes[next].value.is_empty() || !carry)) {
        column.push_back(std::move(changes[next].value));
      } else if (carry) {
        column.push_back(column.back());
      } else {
        column.emplace_back();
      }
      if (changed) ++next;
    }
    while (!column.empty() && column.back().is_empty()) column.pop_back();
    store.assign_column(static_cast<std::uint32_t>(id), std::move(column));
    changes = {};
  }
  changes_.clear();
  unsorted_.clear();
}

}  // namespace velk
