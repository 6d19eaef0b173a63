// Identifier-code lookup for the VCD parser. Writers hand out the shortest
// codes first (one or two printable characters cover the first 8,930
// signals), so those resolve through direct tables; longer codes fall back
// to a hash map. Every value change goes through here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/name_map.h"

namespace velk {

class VcdCodeTable {
 public:
  VcdCodeTable() : two_(kPrintable * kPrintable, kNone) { one_.fill(kNone); }

  static constexpr std::uint32_t kNone = UINT32_MAX;

  std::optional<std::uint32_t> find(std::string_view code) const { return unwrap(id_of(code)); }

  // The id of `code`, or kNone.
  std::uint32_t id_of(std::string_view code) const {
    if (code.size() == 1 && printable(code[0])) return one_[slot(code[0])];
    if (code.size() == 2 && printable(code[0]) && printable(code[1])) {
      return two_[slot(code[0]) * kPrintable + slot(code[1])];
    }
    if (long_.empty()) return kNone;
    const auto it = long_.find(code);
    return it == long_.end() ? kNone : it->second;
  }

  void insert(std::string_view code, std::uint32_t id) {
    if (code.size() == 1 && printable(code[0])) {
      one_[slot(code[0])] = id;
    } else if (code.size() == 2 && printable(code[0]) && printable(code[1])) {
      two_[slot(code[0]) * kPrintable + slot(code[1])] = id;
    } else {
      long_.emplace(std::string(code), id);
    }
  }

 private:
  static constexpr std::size_t kPrintable = 94;  // '!' .. '~'
  static bool printable(char c) { return c >= '!' && c <= '~'; }
  static std::size_t slot(char c) { return static_cast<std::size_t>(c - '!'); }
  static std::optional<std::uint32_t> unwrap(std::uint32_t v) {
    if (v == kNone) return std::nullopt;
    return v;
  }

  std::array<std::uint32_t, kPrintable> one_;
  std::vector<std::uint32_t> two_;
  NameMap<std::uint32_t> long_;
};

}  // namespace velk
