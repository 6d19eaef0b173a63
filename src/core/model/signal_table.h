// The signals of a trace by full name: the names in the order the reader
// registered them, each with its id in the value store and its width, and
// an index from name to place.
//
// A big design declares hundreds of thousands of signals, and a reader
// registers each once and looks it up as often: the index is one flat
// open-addressing table of places (with each name's hash, so that a probe
// compares text only when the hashes agree), not a node per name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velk {

class SignalTable {
 public:
  struct Entry {
    std::uint32_t id;
    std::uint32_t width;
  };

  // The names, in registration order.
  const std::vector<std::string>& names() const noexcept { return names_; }
  std::size_t size() const noexcept { return names_.size(); }

  // The entry of `name`, or null for a name not registered.
  const Entry* find(std::string_view name) const noexcept;
  Entry* find(std::string_view name) noexcept {
    return const_cast<Entry*>(static_cast<const SignalTable&>(*this).find(name));
  }
  // The entry of the name at `place` (below size()) in registration order.
  Entry& at(std::size_t place) noexcept { return entries_[place]; }
  const Entry& at(std::size_t place) const noexcept { return entries_[place]; }

  // Registers `name`, which find() does not know yet, after the others.
  void append(std::string name, Entry entry);
  // Lists `name` after the others without registering it: find() does not
  // see it, as for a name that holds no values.
  void list_only(std::string name);

 private:
  // A place in names_ plus one (0 marks a free slot), and the name's hash,
  // whose top bits are the slot it would rather have.
  struct Slot {
    std::uint32_t place = 0;
    std::uint32_t hash = 0;
  };
  static std::uint32_t hash(std::string_view name) noexcept;
  void push(std::string name, Entry entry);
  void index(std::uint32_t place_plus_one, std::uint32_t hash);
  void grow();

  std::vector<std::string> names_;
  std::vector<Entry> entries_;  // by place; a listed-only name's is unused
  std::vector<Slot> slots_;     // a power of two, at most half full, or none
  std::size_t indexed_ = 0;
  unsigned shift_ = 32;  // 32 less the log2 of the slot count
};

}  // namespace velk
