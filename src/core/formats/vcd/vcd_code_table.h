// Identifier-code lookup for the VCD parser. Writers hand out the shortest
// codes first (one or two printable characters cover the first 8,930
// signals), so codes of one or two bytes resolve through one direct table
// indexed by the bytes themselves; longer codes fall back to a hash map.
// Every value change goes through here.
#pragma once

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
  VcdCodeTable() : short_(static_cast<std::uint32_t*>(std::calloc(kShortSlots, sizeof(std::uint32_t)))) {
    if (!short_) throw std::bad_alloc();
  }

  static constexpr std::uint32_t kNone = UINT32_MAX;

  std::optional<std::uint32_t> find(std::string_view code) const { return unwrap(id_of(code)); }

  // The id of `code`, or kNone.
  std::uint32_t id_of(std::string_view code) const {
    if (is_short(code)) return id_of_short(static_cast<std::uint32_t>(short_key(code)));
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

  void insert(std::string_view code, std::uint32_t id) {
    if (is_short(code)) {
      short_.get()[short_key(code)] = id + 1;
      if (code.size() == 1) short_.get()[short_key(code) | std::size_t{'\n'} << 8] = id + 1;
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

  struct Free {
    void operator()(std::uint32_t* p) const noexcept { std::free(p); }
  };
  // id + 1 per code, 0 for none (so that none reads back as kNone). Zeroed
  // by calloc, which takes fresh pages from the system for a table this
  // size: only the pages that codes fall into are ever touched.
  std::unique_ptr<std::uint32_t, Free> short_;
  NameMap<std::uint32_t> long_;
};

}  // namespace velk
