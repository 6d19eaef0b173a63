#include "model/signal_table.h"

#include <bit>
#include <algorithm>
#include <functional>
#include <stdexcept>

namespace velk {

std::uint32_t SignalTable::hash(std::string_view name) noexcept {
  // Spread into the high bits, which pick the slot.
  return static_cast<std::uint32_t>((std::hash<std::string_view>{}(name) * 0x9E3779B97F4A7C15ULL) >> 32);
}

const SignalTable::Entry* SignalTable::find(std::string_view name) const noexcept {
  if (slots_.empty()) return nullptr;
  const std::uint32_t h = hash(name);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = h >> shift_;; i = (i + 1) & mask) {
    const Slot slot = slots_[i];
    if (slot.place == 0) return nullptr;
    if (slot.hash == h && names_[slot.place - 1] == name) return &entries_[slot.place - 1];
  }
}

void SignalTable::append(std::string name, Entry entry) {
  // A place must fit a slot with one to spare (0 marks a free one).
  if (names_.size() >= UINT32_MAX - 1) throw std::length_error("signal table: too many names");
  const std::uint32_t h = hash(name);
  if (2 * (indexed_ + 1) > slots_.size()) grow();
  push(std::move(name), entry);
  index(static_cast<std::uint32_t>(names_.size()), h);
}

void SignalTable::list_only(std::string name) { push(std::move(name), {}); }

void SignalTable::push(std::string name, Entry entry) {
  // Both lists grow or neither does.
  entries_.push_back(entry);
  try {
    names_.push_back(std::move(name));
  } catch (...) {
    entries_.pop_back();
    throw;
  }
}

void SignalTable::index(std::uint32_t place_plus_one, std::uint32_t h) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = h >> shift_;
  while (slots_[i].place != 0) i = (i + 1) & mask;
  slots_[i] = {place_plus_one, h};
  ++indexed_;
}

void SignalTable::grow() {
  // The slot is the top bits of the kept hash: no name is hashed again.
  if (slots_.size() > (std::size_t{1} << 31)) throw std::length_error("signal table: too many names");
  std::vector<Slot> old(std::max<std::size_t>(64, 2 * slots_.size()));
  old.swap(slots_);
  shift_ = 32 - static_cast<unsigned>(std::countr_zero(slots_.size()));
  indexed_ = 0;
  for (const Slot& slot : old) {
    if (slot.place != 0) index(slot.place, slot.hash);
  }
}

}  // namespace velk
