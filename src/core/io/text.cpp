#include "io/text.h"

#include <charconv>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <limits>

namespace velk {

namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when it is
// invalid: no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t valid_sequence_length(std::string_view s, std::size_t i) noexcept {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  std::size_t n;
  std::uint32_t min;
  std::uint32_t cp;
  if ((c & 0xE0) == 0xC0) {
    n = 2, min = 0x80, cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3, min = 0x800, cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4, min = 0x10000, cp = c & 0x07;
  } else {
    return 0;
  }
  if (s.size() - i < n) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

}  // namespace

bool is_valid_utf8(std::string_view s) noexcept {
  std::size_t i = 0;
  while (i < s.size()) {
    // Fast path: eight ASCII bytes at a time.
    if (s.size() - i >= 8) {
      std::uint64_t word;
      std::memcpy(&word, s.data() + i, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    const std::size_t n = valid_sequence_length(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string decode_utf8_lossy(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = valid_sequence_length(s, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    out.append(s.substr(i, n));
    i += n;
  }
  return out;
}

namespace {

bool is_unicode_space(std::uint32_t cp) noexcept {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

// Decodes the character at the start of `s` (which must be valid UTF-8 there).
std::uint32_t decode_at(std::string_view s, std::size_t& len) noexcept {
  const auto c = static_cast<unsigned char>(s[0]);
  if (c < 0x80) return len = 1, c;
  std::size_t n = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
  if (n > s.size()) n = 1;
  std::uint32_t cp = n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
  for (std::size_t i = 1; i < n; ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
  len = n;
  return n == 1 ? 0xFFFD : cp;
}

}  // namespace

std::size_t whitespace_length(std::string_view s) noexcept {
  if (s.empty()) return 0;
  const auto c = static_cast<unsigned char>(s[0]);
  if (c < 0x80) return is_unicode_space(c) ? 1 : 0;
  std::size_t len = 0;
  const std::uint32_t cp = decode_at(s, len);
  return is_unicode_space(cp) ? len : 0;
}

std::size_t trailing_whitespace_length(std::string_view s) noexcept {
  if (s.empty()) return 0;
  const auto last = static_cast<unsigned char>(s.back());
  if (last < 0x80) return is_unicode_space(last) ? 1 : 0;
  // Walk back to the lead byte of the last character (at most 4 bytes).
  std::size_t start = s.size() - 1;
  while (start > 0 && s.size() - start < 4 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
  std::size_t len = 0;
  const std::uint32_t cp = decode_at(s.substr(start), len);
  return (start + len == s.size() && is_unicode_space(cp)) ? len : 0;
}

std::string_view trim(std::string_view s) noexcept {
  while (std::size_t n = whitespace_length(s)) s.remove_prefix(n);
  while (std::size_t n = trailing_whitespace_length(s)) s.remove_suffix(n);
  return s;
}

std::optional<std::string_view> Tokens::next() noexcept {
  while (std::size_t n = whitespace_length(rest_)) rest_.remove_prefix(n);
  if (rest_.empty()) return std::nullopt;
  std::size_t end = 0;
  while (end < rest_.size() && whitespace_length(rest_.substr(end)) == 0) {
    const auto c = static_cast<unsigned char>(rest_[end]);
    std::size_t step = 1;
    if (c >= 0x80) decode_at(rest_.substr(end), step);
    end += step;
  }
  const std::string_view token = rest_.substr(0, end);
  rest_.remove_prefix(end);
  return token;
}

std::optional<std::uint64_t> parse_u64(std::string_view s) noexcept {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (v > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

std::optional<std::uint32_t> parse_u32(std::string_view s) noexcept {
  const auto v = parse_u64(s);
  if (!v || *v > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(*v);
}

namespace {

bool equals_ignore_case(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != b[i]) return false;
  }
  return true;
}

// digits [. digits] [e [sign] digits], with at least one digit in the mantissa.
bool is_decimal_float(std::string_view s) noexcept {
  std::size_t i = 0;
  std::size_t mantissa_digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++mantissa_digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++mantissa_digits;
  }
  if (mantissa_digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  return i == s.size();
}

}  // namespace

std::optional<double> parse_f64(std::string_view s) noexcept {
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  double v;
  if (equals_ignore_case(s, "inf") || equals_ignore_case(s, "infinity")) {
    v = std::numeric_limits<double>::infinity();
  } else if (equals_ignore_case(s, "nan")) {
    v = std::numeric_limits<double>::quiet_NaN();
  } else {
    if (!is_decimal_float(s)) return std::nullopt;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (end != s.data() + s.size()) return std::nullopt;
    // from_chars reports overflow and underflow without a value; strtod gives
    // the saturated result (infinity, or zero / a denormal). Rare, so the copy is fine.
    if (ec == std::errc::result_out_of_range) v = std::strtod(std::string(s).c_str(), nullptr);
  }
  return negative ? -v : v;
}

std::string hex8(std::uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08X", v);
  return buf;
}

std::string byte_size_text(std::size_t bytes) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  return bytes % kMiB == 0 ? std::to_string(bytes / kMiB) + " MiB" : std::to_string(bytes) + " bytes";
}

}  // namespace velk
