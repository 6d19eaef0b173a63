// Writing change lists into a ValueStore: shared by the column builder and
// the appender. Internal to the model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/value_store.h"

namespace velk::detail {

// Hands out one pool slot per distinct wide, four-state or text value, so
// two pooled values are equal exactly when their slots are.
class ValuePool {
 public:
  explicit ValuePool(std::vector<SignalValue>& values) : values_(&values) {}
  std::uint64_t slot(const SignalValue& v);

 private:
  struct Key {
    SignalValue::Tag tag;
    std::string_view bytes;  // views the pooled value's payload
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& k) const noexcept;
  };
  std::vector<SignalValue>* values_;
  std::unordered_map<Key, std::uint64_t, KeyHash> slots_;
};

// Whether the column's last run is Empty (so is the value before any run).
bool ends_empty(const ValueColumn& column) noexcept;

// Appends a run of `v` from `index` on, unless `v` is bitwise the value of
// the last run (so a NaN run stays one run and 0.0 and -0.0 stay apart).
// `index` must be above the last run's. Throws std::length_error for an
// index the column cannot hold. A list's first room comes from `arena`
// (the store's) when there is one.
void append_run(ValueColumn& column, ValuePool& pool, SmallBlockArena* arena, std::size_t index,
                const SignalValue& v);

// Gives the column's index list, and its tag list when `tagging`, their
// first room, from `arena` when there is one, if they have none yet.
void make_first_room(ValueColumn& column, SmallBlockArena* arena, bool tagging);

// Appends the Empty change that ends the column at `index`, above its last
// run (nothing when that run is Empty already): the column reads Empty from
// there on. Throws std::length_error for an index the column cannot hold.
void end_column(ValueColumn& column, std::size_t index);

// Bytes a payload word needs (0, 1, 2, 4 or 8), and re-packing a column's
// words `width` bytes apart (put_word, in value_store.h, writes one).
std::uint8_t width_of(std::uint64_t word) noexcept;
// The new words come from `arena` when there is one and they fit a block.
void widen(ValueColumn& column, std::uint8_t width, SmallBlockArena* arena = nullptr);

// Adds `base` to the pool slots the column's pooled values name: for a
// column whose pool is appended after `base` values of another.
void move_pool_slots(ValueColumn& column, std::uint64_t base);

// Trims the column's spare capacity.
void trim(ValueColumn& column);

}  // namespace velk::detail
