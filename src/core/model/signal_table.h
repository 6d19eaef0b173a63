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
#include <string_view>
#include <vector>

#include "model/name_list.h"

namespace velk {

class SignalTable {
 public:
  struct Entry {
    std::uint32_t id;
    std::uint32_t width;
  };

  // The names, in registration order.
  const NameList& names() const noexcept { return names_; }
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
  // No names may be waiting to be settled.
  void append(std::string_view name, Entry entry);
  // Lists `name` after the others without registering it: find() does not
  // see it, as for a name that holds no values. No names may be waiting to
  // be settled.
  void list_only(std::string_view name);

  // Lists `name` with `entry` without looking for it: for a reader that
  // registers many names at once and settles repeats afterwards, which
  // costs less than a lookup per name. find() does not see such names
  // until settle_repeats().
  void append_unsettled(std::string_view name, Entry entry);
  // The same for the name scope + "." + leaf, made in the list itself.
  void append_unsettled(std::string_view scope, std::string_view leaf, Entry entry);
  // What a repeated name keeps, besides its first place.
  enum class Repeats { TakeLatestEntry, KeepFirstEntry };
  // Registers the names appended unsettled, in order, as a reader that
  // looked each up would have: a name already registered (or appended
  // before it) keeps its first place and its first or latest entry, and
  // its later places are dropped.
  void settle_repeats(Repeats rule);

 private:
  // A place in names_ plus one (0 marks a free slot), and the name's hash,
  // whose top bits are the slot it would rather have.
  struct Slot {
    std::uint32_t place = 0;
    std::uint32_t hash = 0;
  };
  static std::uint32_t hash(std::string_view name) noexcept;
  // Lists `entry` with the name push_name() adds to names_.
  template <class PushName>
  void push(Entry entry, PushName&& push_name);
  void require_settled() const;
  // Room for `more` further names without growing on the way.
  void grow_for(std::size_t more);
  // The slot of the registered name equal to `name`, whose hash is `h`, or
  // the free slot where it would go.
  std::size_t slot_of(std::string_view name, std::uint32_t h) const noexcept;

  NameList names_;
  std::vector<Entry> entries_;  // by place; a listed-only name's is unused
  std::vector<Slot> slots_;     // a power of two, at most half full, or none
  std::size_t indexed_ = 0;
  std::size_t settled_ = 0;  // places before this are registered or listed only
  unsigned shift_ = 32;  // 32 less the log2 of the slot count
};

}  // namespace velk
