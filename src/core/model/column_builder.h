// Collects value changes per signal while a reader runs, then writes dense
// columns into a SignalStore in one pass.
//
// Carrying every signal forward at every index while reading costs one copy
// per signal and index plus the regrowth of every column; recording only the
// changes and filling each column once at the end gives the same store with
// one copy per slot and exact-size allocations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/signal_store.h"

namespace velk {

class ColumnBuilder {
 public:
  // When an index with a change takes its value relative to the carried one.
  enum class Fill {
    // The previous value is carried in first and the change replaces it, so an
    // explicit Empty stays Empty (a reader that fills as each index opens).
    BeforeChanges,
    // Changes are set first and the fill runs afterwards, so an explicit Empty
    // is replaced by the carried value (a reader that fills at the end).
    AfterChanges,
  };

  // Records the value of `id` at `index`; a later record for the same slot
  // replaces an earlier one. Indices may arrive in any order.
  void record(std::uint32_t id, std::size_t index, SignalValue value);

  // Writes one column per recorded signal covering indices 0 .. indices - 1
  // (and any recorded index beyond), carrying non-Empty values forward.
  // Leaves the builder empty.
  void build_into(SignalStore& store, std::size_t indices, Fill fill);

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
