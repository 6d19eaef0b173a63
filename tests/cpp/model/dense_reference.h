// The dense value model the change store replaced, kept as the reference the
// store is checked against: one slot per signal and index, filled either step
// by step (set, then forward_fill per index) or from recorded changes in one
// pass, with both fill orders.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/signal_value.h"

namespace velk::reference {

class DenseStore {
 public:
  // Grows the array of `id` to index + 1 slots (new slots Empty), then replaces the slot.
  void set(std::uint32_t id, std::size_t index, SignalValue value) {
    if (id >= columns_.size()) columns_.resize(static_cast<std::size_t>(id) + 1);
    auto& column = columns_[id];
    if (index >= column.size()) column.resize(index + 1);
    column[index] = std::move(value);
  }
  const SignalValue& at(std::uint32_t id, std::size_t index) const {
    static const SignalValue empty;
    if (id >= columns_.size() || index >= columns_[id].size()) return empty;
    return columns_[id][index];
  }
  std::size_t length(std::uint32_t id) const { return id < columns_.size() ? columns_[id].size() : 0; }
  std::size_t signals() const { return columns_.size(); }
  // Carries every non-Empty value at index - 1 into an Empty or missing slot at index.
  void forward_fill(std::size_t index) {
    if (index == 0) return;
    for (auto& column : columns_) {
      if (column.size() < index) continue;
      const SignalValue& prev = column[index - 1];
      if (prev.is_empty()) continue;
      if (column.size() == index) {
        column.push_back(prev);
      } else if (column[index].is_empty()) {
        column[index] = column[index - 1];
      }
    }
  }
  void assign_column(std::uint32_t id, std::vector<SignalValue> column) {
    if (id >= columns_.size()) columns_.resize(static_cast<std::size_t>(id) + 1);
    columns_[id] = std::move(column);
  }

 private:
  std::vector<std::vector<SignalValue>> columns_;
};

// Records changes and fills dense columns at the end.
class DenseColumnBuilder {
 public:
  enum class Fill { BeforeChanges, AfterChanges };

  void record(std::uint32_t id, std::size_t index, SignalValue value) {
    if (id >= changes_.size()) changes_.resize(static_cast<std::size_t>(id) + 1);
    changes_[id].push_back({index, std::move(value)});
  }

  void build_into(DenseStore& store, std::size_t indices, Fill fill) {
    for (std::size_t id = 0; id < changes_.size(); ++id) {
      auto& changes = changes_[id];
      if (changes.empty()) continue;
      // Order by index; of several records for one index the last wins.
      std::stable_sort(changes.begin(), changes.end(), [](const Change& a, const Change& b) { return a.index < b.index; });
      std::vector<Change> last;
      for (std::size_t i = 0; i < changes.size(); ++i) {
        if (i + 1 < changes.size() && changes[i + 1].index == changes[i].index) continue;
        last.push_back(changes[i]);
      }
      const std::size_t length = std::max(indices, last.back().index + 1);
      std::vector<SignalValue> column;
      std::size_t next = 0;
      for (std::size_t i = 0; i < length; ++i) {
        const bool changed = next < last.size() && last[next].index == i;
        const bool carry = i > 0 && i < indices && !column.back().is_empty();
        if (changed && (fill == Fill::BeforeChanges || !last[next].value.is_empty() || !carry)) {
          column.push_back(last[next].value);
        } else if (carry) {
          column.push_back(column.back());
        } else {
          column.emplace_back();
        }
        if (changed) ++next;
      }
      store.assign_column(static_cast<std::uint32_t>(id), std::move(column));
    }
    changes_.clear();
  }

 private:
  struct Change {
    std::size_t index;
    SignalValue value;
  };
  std::vector<std::vector<Change>> changes_;
};

}  // namespace velk::reference
