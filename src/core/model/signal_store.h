// Per-signal dense value arrays: slot i of signal s is its value at index i.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/signal_value.h"

namespace velk {

class SignalStore {
 public:
  SignalStore() = default;
  SignalStore(SignalStore&&) noexcept = default;
  SignalStore& operator=(SignalStore&&) noexcept = default;
  SignalStore(const SignalStore&) = delete;
  SignalStore& operator=(const SignalStore&) = delete;

  // Grows the array of `id` to `index + 1` slots (new slots Empty) if needed,
  // then replaces the slot.
  void set(std::uint32_t id, std::size_t index, SignalValue value);
  // Copy of the slot; Empty past the array or for an id without one.
  SignalValue get(std::uint32_t id, std::size_t index) const;
  // Borrowed view of the slot (Empty past the data); no copy.
  const SignalValue& at(std::uint32_t id, std::size_t index) const noexcept;
  // One copy per index in [start, end); empty when end <= start.
  std::vector<SignalValue> get_range(std::uint32_t id, std::size_t start, std::size_t end) const;
  // Carries every signal's non-Empty value at index - 1 into an Empty or
  // missing slot at index. Nothing happens at index 0.
  void forward_fill(std::size_t index);

  // Replaces the whole array of `id` (readers that build columns in one go).
  void assign_column(std::uint32_t id, std::vector<SignalValue> column);

  // Number of slots of `id` (0 without an array).
  std::size_t length(std::uint32_t id) const noexcept;

 private:
  // Readers hand out ids densely from 0, so a vector indexed by id serves as
  // the id -> array map; an id without an array has an empty vector.
  std::vector<std::vector<SignalValue>> columns_;
};

}  // namespace velk
