// Hash map keyed by owned text that can be probed with a string_view, so
// lookups on hot paths never build a temporary std::string.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace velk {

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

template <class V>
using NameMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;

}  // namespace velk
