#include "model/signal_store.h"

namespace velk {
namespace {
const SignalValue kEmpty;
}  // namespace

void SignalStore::set(std::uint32_t id, std::size_t index, SignalValue value) {
  if (id >= columns_.size()) columns_.resize(static_cast<std::size_t>(id) + 1);
  auto& column = columns_[id];
  if (index >= column.size()) column.resize(index + 1);
  column[index] = std::move(value);
}

const SignalValue& SignalStore::at(std::uint32_t id, std::size_t index) const noexcept {
  if (id >= columns_.size()) return kEmpty;
  const auto& column = columns_[id];
  if (index >= column.size()) return kEmpty;
  return column[index];
}

SignalValue SignalStore::get(std::uint32_t id, std::size_t index) const { return at(id, index); }

std::vector<SignalValue> SignalStore::get_range(std::uint32_t id, std::size_t start, std::size_t end) const {
  std::vector<SignalValue> out;
  if (end <= start) return out;
  const std::size_t have = length(id);
  // Slots past the data are Empty; only the stored part needs copying.
  out.reserve(start < have ? (end < have ? end : have) - start : 0);
  for (std::size_t i = start; i < end && i < have; ++i) out.push_back(columns_[id][i]);
  out.resize(end - start);
  return out;
}

void SignalStore::forward_fill(std::size_t index) {
  if (index == 0) return;
  for (auto& column : columns_) {
    if (column.size() < index) continue;  // no slot at index - 1
    const SignalValue& prev = column[index - 1];
    if (prev.is_empty()) continue;
    if (column.size() == index) {
      column.push_back(prev);
    } else if (column[index].is_empty()) {
      column[index] = column[index - 1];
    }
  }
}

void SignalStore::assign_column(std::uint32_t id, std::vector<SignalValue> column) {
  if (id >= columns_.size()) columns_.resize(static_cast<std::size_t>(id) + 1);
  columns_[id] = std::move(column);
}

std::size_t SignalStore::length(std::uint32_t id) const noexcept {
  return id < columns_.size() ? columns_[id].size() : 0;
}

}  // namespace velk
