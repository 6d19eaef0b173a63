// Writing change lists into a ValueStore: shared by the column builder and
// by ValueStore::assign_column. Internal to the model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/value_store.h"

namespace velk::detail {

// Equal kind and equal bits: neighbouring runs merge only when this holds, so
// a NaN run stays one run and 0.0 and -0.0 stay apart.
bool same_bits(const SignalValue& a, const SignalValue& b) noexcept;

// Hands out one pool slot per distinct wide, four-state or text value.
class ValuePool {
 public:
  explicit ValuePool(std::vector<SignalValue>& values) : values_(values) {}
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
  std::vector<SignalValue>& values_;
  std::unordered_map<Key, std::uint64_t, KeyHash> slots_;
};

// Appends runs to one column, dropping a run whose value is bitwise the one
// before it (the value before the first run is Empty).
class RunWriter {
 public:
  RunWriter(ValueColumn& column, ValuePool& pool) : column_(column), pool_(pool) {}
  // Throws std::length_error for an index the column cannot hold.
  void emit(std::size_t index, const SignalValue& v);
  // Trims the column's spare capacity.
  void finish();

 private:
  ValueColumn& column_;
  ValuePool& pool_;
  SignalValue last_;
};

}  // namespace velk::detail
