// Collects value changes per signal while a reader runs, then turns them into
// the change lists of a ValueStore in one pass per signal.
//
// The result reads exactly like the dense columns the readers used to fill:
// every non-Empty value is carried forward up to the last index, an explicit
// Empty is kept or carried over according to the fill order, and values
// recorded past the last index stand alone. Only the points where the value
// changes are stored, so a signal that stays quiet costs nothing per index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/value_store.h"

namespace velk {

class ColumnBuilder {
 public:
  using Fill = FillOrder;

  // Records the value of `id` at `index`; a later record for the same slot
  // replaces an earlier one. Indices may arrive in any order.
  void record(std::uint32_t id, std::size_t index, SignalValue value);

  // Replaces `store` with the recorded signals over indices 0 .. indices - 1
  // (and any recorded index beyond), carrying non-Empty values forward.
  // Leaves the builder empty. Throws std::length_error when an index does not
  // fit the store (4,294,967,295 indices and more).
  void build_into(ValueStore& store, std::size_t indices, Fill fill);

 private:
  struct Change {
    std::size_t index;
    SignalValue value;
  };
  static void sort_changes(std::vector<Change>& changes);

  std::vector<std::vector<Change>> changes_;
  std::vector<bool> unsorted_;
};

}  // namespace velk
