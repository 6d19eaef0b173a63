// Bounds-checked reads over borrowed, untrusted bytes. Every offset and length
// that comes from a file goes through one of these; each read checks once, in
// the overflow-safe form `off <= size && len <= size - off`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace velk {

using Bytes = std::span<const std::uint8_t>;

// True when [off, off + len) lies inside a buffer of `size` bytes.
constexpr bool in_bounds(std::uint64_t size, std::uint64_t off, std::uint64_t len) {
  return off <= size && len <= size - off;
}

inline std::optional<std::uint16_t> read_u16_le(Bytes b, std::uint64_t off) {
  if (!in_bounds(b.size(), off, 2)) return std::nullopt;
  return static_cast<std::uint16_t>(b[off] | (b[off + 1] << 8));
}

inline std::optional<std::uint16_t> read_u16_be(Bytes b, std::uint64_t off) {
  if (!in_bounds(b.size(), off, 2)) return std::nullopt;
  return static_cast<std::uint16_t>((b[off] << 8) | b[off + 1]);
}

inline std::optional<std::uint32_t> read_u32_le(Bytes b, std::uint64_t off) {
  if (!in_bounds(b.size(), off, 4)) return std::nullopt;
  return static_cast<std::uint32_t>(b[off]) | (static_cast<std::uint32_t>(b[off + 1]) << 8) |
         (static_cast<std::uint32_t>(b[off + 2]) << 16) | (static_cast<std::uint32_t>(b[off + 3]) << 24);
}

inline std::optional<std::uint32_t> read_u32_be(Bytes b, std::uint64_t off) {
  if (!in_bounds(b.size(), off, 4)) return std::nullopt;
  return (static_cast<std::uint32_t>(b[off]) << 24) | (static_cast<std::uint32_t>(b[off + 1]) << 16) |
         (static_cast<std::uint32_t>(b[off + 2]) << 8) | static_cast<std::uint32_t>(b[off + 3]);
}

inline std::optional<std::uint64_t> read_u64_be(Bytes b, std::uint64_t off) {
  if (!in_bounds(b.size(), off, 8)) return std::nullopt;
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | b[off + i];
  return v;
}

// The sub-range [off, off + len), clamped to the buffer.
inline Bytes clamp_sub(Bytes b, std::uint64_t off, std::uint64_t len) {
  if (off >= b.size()) return {};
  const std::uint64_t avail = b.size() - off;
  return b.subspan(off, len < avail ? len : avail);
}

// Position of the first occurrence of `needle` in `hay` at or after `from`.
inline std::optional<std::size_t> find_bytes(Bytes hay, Bytes needle, std::size_t from = 0) {
  if (needle.empty() || hay.size() < needle.size()) return std::nullopt;
  for (std::size_t i = from; i + needle.size() <= hay.size(); ++i) {
    std::size_t k = 0;
    while (k < needle.size() && hay[i + k] == needle[k]) ++k;
    if (k == needle.size()) return i;
  }
  return std::nullopt;
}

inline std::string_view as_text(Bytes b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

}  // namespace velk
