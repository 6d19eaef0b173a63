#include "model/signal_table.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <stdexcept>

namespace velk {

std::uint32_t SignalTable::hash(std::string_view name) noexcept {
  // Spread into the high bits, which pick the slot.
  return static_cast<std::uint32_t>((std::hash<std::string_view>{}(name) * 0x9E3779B97F4A7C15ULL) >> 32);
}

const SignalTable::Entry* SignalTable::find(std::string_view name) const noexcept {
  if (slots_.empty()) return nullptr;
  const Slot& slot = slots_[slot_of(name, hash(name))];
  return slot.place == 0 ? nullptr : &entries_[slot.place - 1];
}

std::size_t SignalTable::slot_of(std::string_view name, std::uint32_t h) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = h >> shift_;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.place == 0 || (slot.hash == h && names_[slot.place - 1] == name)) return i;
  }
}

void SignalTable::append(std::string_view name, Entry entry) {
  require_settled();
  const std::uint32_t h = hash(name);
  grow_for(1);
  Slot& slot = slots_[slot_of(name, h)];  // free: the name is not registered
  push(entry, [&] { names_.push_back(name); });
  slot = {static_cast<std::uint32_t>(names_.size()), h};
  ++indexed_;
  settled_ = names_.size();
}

void SignalTable::require_settled() const {
  if (settled_ != names_.size()) throw std::logic_error("signal table: names wait to be settled");
}

void SignalTable::list_only(std::string_view name) {
  require_settled();
  push({}, [&] { names_.push_back(name); });
  settled_ = names_.size();
}

void SignalTable::append_unsettled(std::string_view name, Entry entry) {
  push(entry, [&] { names_.push_back(name); });
}

void SignalTable::append_unsettled(std::string_view scope, std::string_view leaf, Entry entry) {
  push(entry, [&] { names_.push_back(scope, leaf); });
}

void SignalTable::settle_repeats(Repeats rule) {
  if (settled_ == names_.size()) return;
  const std::size_t first = settled_;
  const std::size_t end = names_.size();
  grow_for(end - first);
  // The names' hashes first, so that each one's slot is fetched a few
  // names ahead of its probe: the slots of a big design's names are spread
  // over more memory than the cache holds.
  std::vector<std::uint32_t> hashes(end - first);
  for (std::size_t p = first; p < end; ++p) hashes[p - first] = hash(names_[p]);
  constexpr std::size_t kAhead = 16;
  // A repeat's later places go. The slots take the names' places as they
  // are while the names are probed, and are renumbered afterwards if any
  // place went.
  std::vector<bool> repeat;
  for (std::size_t p = first; p < end; ++p) {
    if (p + kAhead < end) __builtin_prefetch(&slots_[hashes[p + kAhead - first] >> shift_]);
    const std::uint32_t h = hashes[p - first];
    Slot& slot = slots_[slot_of(names_[p], h)];
    if (slot.place != 0) {
      if (rule == Repeats::TakeLatestEntry) entries_[slot.place - 1] = entries_[p];
      if (repeat.empty()) repeat.resize(end - first);
      repeat[p - first] = true;
      continue;
    }
    slot = {static_cast<std::uint32_t>(p + 1), h};
    ++indexed_;
  }
  std::size_t kept = end;
  if (!repeat.empty()) {
    // The place each name probed here moves to.
    std::vector<std::uint32_t> moved_to(end - first);
    kept = first;
    for (std::size_t p = first; p < end; ++p) {
      moved_to[p - first] = static_cast<std::uint32_t>(kept);
      if (repeat[p - first]) continue;
      entries_[kept++] = entries_[p];
    }
    for (Slot& slot : slots_) {
      if (slot.place > first) slot.place = moved_to[slot.place - 1 - first] + 1;
    }
    names_.keep_if(first, [&](std::size_t p) { return !repeat[p - first]; });
    entries_.resize(kept);
  }
  settled_ = kept;
}

template <class PushName>
void SignalTable::push(Entry entry, PushName&& push_name) {
  // A place must fit a slot with one to spare (0 marks a free one).
  if (names_.size() >= UINT32_MAX - 1) throw std::length_error("signal table: too many names");
  // Both lists grow or neither does.
  entries_.push_back(entry);
  try {
    push_name();
  } catch (...) {
    entries_.pop_back();
    throw;
  }
}

void SignalTable::grow_for(std::size_t more) {
  // At most half full, so that a probe ends soon.
  std::size_t size = std::max<std::size_t>(64, slots_.size());
  while (size / 2 < indexed_ + more) size *= 2;
  if (size == slots_.size()) return;
  if (size > (std::size_t{1} << 32)) throw std::length_error("signal table: too many names");
  std::vector<Slot> old(size);
  old.swap(slots_);
  // The slot is the top bits of the kept hash: no name is hashed again.
  shift_ = 32 - static_cast<unsigned>(std::countr_zero(slots_.size()));
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.place == 0) continue;
    std::size_t i = slot.hash >> shift_;
    while (slots_[i].place != 0) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

}  // namespace velk
