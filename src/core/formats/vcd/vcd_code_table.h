// Identifier-code lookup for the VCD parser. Writers hand out the shortest
// codes first (one or two printable characters cover the first 8,930
// signals), so codes of one or two bytes resolve through one direct table
// indexed by the bytes themselves; longer codes fall back to a hash map.
// Every value change goes through here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/name_map.h"

namespace velk {

class VcdCodeTable {
 public:
  VcdCodeTable() : short_(kShortSlots, kNone) {}

  static constexpr std::uint32_t kNone = UINT32_MAX;

  std::optional<std::uint32_t> find(std::string_view code) const { return unwrap(id_of(code)); }

  // The id of `code`, or kNone.
  std::uint32_t id_of(std::string_view code) const {
    if (is_short(code)) return short_[short_key(code)];
    if (long_.empty()) return kNone;
    const auto it = long_.find(code);
    return it == long_.end() ? kNone : it->second;
  }
  // id_of for a code of one or two bytes, none of them NUL, given as its
  // bytes with the first in the low byte (a one-byte code's high byte is 0).
  std::uint32_t id_of_short(std::uint32_t key) const { return short_[key & 0xFFFF]; }

  void insert(std::string_view code, std::uint32_t id) {
    if (is_short(code)) {
      short_[short_key(code)] = id;
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
  static std::optional<std::uint32_t> unwrap(std::uint32_t v) {
    if (v == kNone) return std::nullopt;
    return v;
  }

  std::vector<std::uint32_t> short_;
  NameMap<std::uint32_t> long_;
};

}  // namespace velk
