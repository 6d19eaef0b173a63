// The FST decoder's error: one variant per failure, each with a fixed display
// text that the trace loader embeds in its messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace velk::fst {

class ReaderError {
 public:
  enum class Kind : std::uint8_t {
    CStringTooLong,
    EnumTableString,
    Leb128,
    ParseInt,
    Lz4Decompress,
    ZLibDecompress,
    GZipHeader,
    GZipBody,
    Utf8,
    Utf8String,
    Io,
    NotFinishedCompressing,
    BlockType,
    FileType,
    FstVhdlVarType,
    FstVhdlDataType,
    FstVarType,
    FstScopeType,
    FstVarDirection,
    AttributeType,
    MiscType,
    MissingGeometry,
    MissingHierarchy,
    // Structure that the format cannot hold (a second hierarchy block, an
    // offset of 0, a time index past the table, ...). The text names it.
    Malformed,
    // A construct that the format allows but this reader does not decode.
    Unsupported,
  };

  static ReaderError c_string_too_long(std::uint64_t max, std::string text) {
    return {Kind::CStringTooLong, max, std::move(text)};
  }
  static ReaderError enum_table_string(std::string problem, std::string text) {
    return {Kind::EnumTableString, 0, std::move(problem), std::move(text)};
  }
  static ReaderError leb128(std::uint32_t bits) { return {Kind::Leb128, bits}; }
  static ReaderError parse_int() { return {Kind::ParseInt}; }
  static ReaderError lz4(std::string detail) { return {Kind::Lz4Decompress, 0, std::move(detail)}; }
  static ReaderError zlib(std::string detail) { return {Kind::ZLibDecompress, 0, std::move(detail)}; }
  static ReaderError gzip_header(std::string text) { return {Kind::GZipHeader, 0, std::move(text)}; }
  static ReaderError gzip_body(std::string text) { return {Kind::GZipBody, 0, std::move(text)}; }
  static ReaderError utf8_string(std::string bytes) { return {Kind::Utf8String, 0, std::move(bytes)}; }
  // `detail` says which read ran out ("unexpected eof" for a short read).
  static ReaderError io(std::string detail = "unexpected eof") { return {Kind::Io, 0, std::move(detail)}; }
  static ReaderError with_byte(Kind kind, std::uint64_t byte) { return {kind, byte}; }
  static ReaderError of(Kind kind) { return {kind}; }
  static ReaderError malformed(std::string text) { return {Kind::Malformed, 0, std::move(text)}; }
  static ReaderError unsupported(std::string what) {
    return {Kind::Unsupported, 0, "not yet implemented: " + std::move(what)};
  }

  Kind kind() const { return kind_; }
  std::uint64_t number() const { return number_; }
  const std::string& text() const { return text_; }

  // The fixed text users see.
  std::string display() const;
  // Variant name and payload, for diagnostics.
  std::string debug() const;

 private:
  ReaderError(Kind kind, std::uint64_t number = 0, std::string text = {}, std::string text2 = {})
      : kind_(kind), number_(number), text_(std::move(text)), text2_(std::move(text2)) {}

  Kind kind_;
  std::uint64_t number_;
  std::string text_;
  std::string text2_;
};

// Success or the first error.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(ReaderError error) : error_(std::move(error)) {}  // NOLINT: implicit by design
  bool ok() const { return !error_.has_value(); }
  const ReaderError& error() const { return *error_; }

 private:
  std::optional<ReaderError> error_;
};

// A value or the error that prevented it.
template <class T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  // Lets a member of a variant T convert straight into an Expected<T>.
  template <class U>
    requires(!std::is_same_v<std::decay_t<U>, T> && !std::is_same_v<std::decay_t<U>, ReaderError> &&
             !std::is_same_v<std::decay_t<U>, Expected> && std::is_constructible_v<T, U &&>)
  Expected(U&& value) : state_(std::in_place_index<0>, std::forward<U>(value)) {}  // NOLINT
  Expected(ReaderError error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  bool ok() const { return state_.index() == 0; }
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const ReaderError& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, ReaderError> state_;
};

}  // namespace velk::fst
