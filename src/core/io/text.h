// Small text helpers shared by the text readers: UTF-8 validation, Unicode
// white-space trimming and splitting, and strict number parsing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velk {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view s) noexcept;
// The bytes with every invalid sequence replaced by U+FFFD.
std::string decode_utf8_lossy(std::string_view s);

// Unicode White_Space (the ASCII controls \t..\r, space, U+0085, U+00A0,
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000). Returns the
// byte length of the white-space character at the start of `s`, or 0.
std::size_t whitespace_length(std::string_view s) noexcept;
// Byte length of a white-space character that ends `s`, or 0.
std::size_t trailing_whitespace_length(std::string_view s) noexcept;

std::string_view trim(std::string_view s) noexcept;

// Iterates over the white-space separated tokens of a line without allocating.
class Tokens {
 public:
  explicit Tokens(std::string_view s) noexcept : rest_(s) {}
  // The next token, or nothing at the end.
  std::optional<std::string_view> next() noexcept;

 private:
  std::string_view rest_;
};

// Decimal with one optional leading '+'; nothing for any other text or on overflow.
std::optional<std::uint64_t> parse_u64(std::string_view s) noexcept;
std::optional<std::uint32_t> parse_u32(std::string_view s) noexcept;
// A decimal floating-point number: optional sign, digits with an optional
// point, optional exponent; or inf, infinity, nan in any letter case.
std::optional<double> parse_f64(std::string_view s) noexcept;

// Eight upper-case hexadecimal digits with leading zeros ("000012AB"), the
// form the readers use to show a file's magic number.
std::string hex8(std::uint32_t v);

// A size as the limits in error messages give it: "64 MiB" when it is a
// whole number of MiB, "1000 bytes" otherwise.
std::string byte_size_text(std::size_t bytes);

}  // namespace velk
