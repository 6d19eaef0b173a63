// Identifier-code lookup for the VCD parser. Writers hand out the shortest
// codes first (one or two printable characters cover the first 8,930
// signals), so codes of one or two bytes resolve through one direct table
// indexed by the bytes themselves. Three printable characters (the next
// 830,584 signals, a big design's) index a second direct table, which
// writers fill in order: neighbouring codes share cache lines, where a
// hash would scatter them. Other codes of three to seven bytes are numbers
// too, looked up in an open-addressing table by a multiplicative hash;
// longer codes fall back to a hash map of strings.
// Every value change goes through here.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/name_map.h"

namespace velk {

class VcdCodeTable {
 public:
  VcdCodeTable() : short_(zeroed_slots(kShortSlots)) {}

  static constexpr std::uint32_t kNone = UINT32_MAX;

  std::optional<std::uint32_t> find(std::string_view code) const { return unwrap(id_of(code)); }

  // The id of `code`, or kNone.
  std::uint32_t id_of(std::string_view code) const {
    if (is_short(code)) return id_of_short(static_cast<std::uint32_t>(short_key(code)));
    if (is_medium(code)) return id_of_medium_word(medium_bytes(code), code.size());
    if (long_.empty()) return kNone;
    const auto it = long_.find(code);
    return it == long_.end() ? kNone : it->second;
  }
  // id_of for a code of one or two bytes, none of them NUL, given as its
  // bytes with the first in the low byte (a one-byte code's high byte is 0).
  std::uint32_t id_of_short(std::uint32_t key) const { return short_.get()[key & 0xFFFF] - 1; }
  // id_of for the code of one or two bytes that ends a line, given as the
  // next two bytes of the line, first in the low byte: a one-byte code with
  // the line feed after it. (Codes hold no white space, so a two-byte code
  // never ends in a line feed, and the key of a one-byte code followed by
  // one is kept for it.)
  std::uint32_t id_of_line_end(std::uint32_t key) const { return id_of_short(key); }
  // id_of for a code of three to seven bytes, given as a word of the bytes
  // from the code on (the first lowest; those after the code are ignored)
  // and the code's length.
  std::uint32_t id_of_medium_word(std::uint64_t bytes, std::size_t length) const {
    if (const std::size_t slot = three_slot(bytes, length); slot != kNotThree) {
      return three_ ? three_.get()[slot] - 1 : kNone;
    }
    return id_of_medium(medium_key(bytes, length));
  }

  // One more than the highest id inserted.
  std::uint32_t id_limit() const noexcept { return id_limit_; }

  void insert(std::string_view code, std::uint32_t id) {
    id_limit_ = std::max(id_limit_, id + 1);
    if (is_short(code)) {
      short_.get()[short_key(code)] = id + 1;
      if (code.size() == 1) short_.get()[short_key(code) | std::size_t{'\n'} << 8] = id + 1;
    } else if (const std::size_t slot = three_slot(medium_bytes(code), code.size()); slot != kNotThree) {
      if (!three_) three_ = zeroed_slots(kThreeSlots);
      three_.get()[slot] = id + 1;
    } else if (is_medium(code)) {
      insert_medium(medium_key(code), id);
    } else {
      long_.emplace(std::string(code), id);
    }
  }

 private:
  static constexpr std::size_t kShortSlots = std::size_t{1} << 16;
  // A NUL byte would make a two-byte code read as a one-byte one.
  static bool is_short(std::string_view code) {
    return (code.size() == 1 || code.size() == 2) && code.front() != '\0' && code.back() != '\0';
  }
  static std::size_t short_key(std::string_view code) {
    const auto byte = [&](std::size_t i) { return static_cast<std::size_t>(static_cast<unsigned char>(code[i])); };
    return code.size() == 1 ? byte(0) : byte(0) | byte(1) << 8;
  }
  // A code of three to seven bytes as a number: its bytes, the first
  // lowest, and its length in the top byte (so that no key is 0, the mark
  // of an empty slot, and codes that differ only in trailing NULs differ).
  static bool is_medium(std::string_view code) { return code.size() >= 3 && code.size() <= 7; }
  static std::uint64_t medium_key(std::uint64_t bytes, std::size_t length) {
    return (bytes & (~std::uint64_t{0} >> (64 - 8 * length))) | std::uint64_t{length} << 56;
  }
  // The bytes of a code of up to eight bytes, the first lowest.
  static std::uint64_t medium_bytes(std::string_view code) {
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < code.size() && i < 8; ++i) bytes |= std::uint64_t{static_cast<unsigned char>(code[i])} << (8 * i);
    return bytes;
  }
  static std::uint64_t medium_key(std::string_view code) { return medium_key(medium_bytes(code), code.size()); }
  // Three printable characters ('!' to '~') as a number in base 94, the
  // first character the lowest digit; kNotThree for any other code.
  static constexpr std::size_t kThreeSlots = 94 * 94 * 94;
  static constexpr std::size_t kNotThree = SIZE_MAX;
  static std::size_t three_slot(std::uint64_t bytes, std::size_t length) noexcept {
    if (length != 3) return kNotThree;
    const auto digit = [&](unsigned i) { return static_cast<std::size_t>((bytes >> (8 * i)) & 0xFF) - '!'; };
    const std::size_t a = digit(0);
    const std::size_t b = digit(1);
    const std::size_t c = digit(2);
    // A byte below '!' wraps around to a large digit.
    if (a >= 94 || b >= 94 || c >= 94) return kNotThree;
    return a + 94 * (b + 94 * c);
  }
  std::size_t medium_slot(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> medium_shift_);
  }
  std::uint32_t id_of_medium(std::uint64_t key) const {
    if (medium_.empty()) return kNone;
    const std::size_t mask = medium_.size() - 1;
    for (std::size_t i = medium_slot(key);; i = (i + 1) & mask) {
      if (medium_[i].key == key) return medium_[i].id;
      if (medium_[i].key == 0) return kNone;
    }
  }
  void insert_medium(std::uint64_t key, std::uint32_t id) {
    // At most half full, so that a probe ends soon.
    if (2 * (medium_count_ + 1) > medium_.size()) {
      std::vector<MediumSlot> old(std::max<std::size_t>(64, 2 * medium_.size()));
      old.swap(medium_);
      medium_shift_ = 64 - static_cast<unsigned>(std::countr_zero(medium_.size()));
      medium_count_ = 0;
      for (const MediumSlot& slot : old) {
        if (slot.key != 0) insert_medium(slot.key, slot.id);
      }
    }
    const std::size_t mask = medium_.size() - 1;
    std::size_t i = medium_slot(key);
    while (medium_[i].key != 0 && medium_[i].key != key) i = (i + 1) & mask;
    if (medium_[i].key == 0) ++medium_count_;
    medium_[i] = {key, id};
  }
  static std::optional<std::uint32_t> unwrap(std::uint32_t v) {
    if (v == kNone) return std::nullopt;
    return v;
  }

  struct Free {
    void operator()(std::uint32_t* p) const noexcept { std::free(p); }
  };
  using Slots = std::unique_ptr<std::uint32_t, Free>;
  static Slots zeroed_slots(std::size_t n) {
    Slots slots(static_cast<std::uint32_t*>(std::calloc(n, sizeof(std::uint32_t))));
    if (!slots) throw std::bad_alloc();
    return slots;
  }
  // id + 1 per code, 0 for none (so that none reads back as kNone). Zeroed
  // by calloc, which takes fresh pages from the system for a table this
  // size: only the pages that codes fall into are ever touched.
  Slots short_;
  // The same for codes of three printable characters, made with the first.
  Slots three_;
  struct MediumSlot {
    std::uint64_t key = 0;  // 0: empty
    std::uint32_t id = 0;
  };
  std::vector<MediumSlot> medium_;  // a power of two slots, or none
  std::size_t medium_count_ = 0;
  unsigned medium_shift_ = 64;
  NameMap<std::uint32_t> long_;
  std::uint32_t id_limit_ = 0;
};

}  // namespace velk
