// The one error model of the core: every reader returns Expected<T> (or
// Status), and an Error carries the text users see together with what the
// text leaves out: its kind, the errno of a failed system call, the byte
// offset and the field being read when it went wrong.
//
// The message is a contract (callers match it); the rest travels beside it
// and the binding shows it as a note under the message, e.g.
//   ValueError: FST open: I/O operation failed
//   unexpected end of file at byte 1234 reading the geometry block
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace velk {

class Error {
 public:
  enum class Kind : std::uint8_t {
    Io,      // the system could not deliver the bytes (open, read, short file)
    Format,  // the bytes are there but do not hold what the format requires
    Limit,   // the input asks for more than the reader is willing to do
  };

  // A format error. Kept implicit-free but brace-constructible, so that
  // `return Error{"text"};` reads naturally in readers.
  explicit Error(std::string message, Kind kind = Kind::Format) : message_(std::move(message)), kind_(kind) {}

  static Error io(std::string message, int os_errno = 0) {
    Error e(std::move(message), Kind::Io);
    e.errno_ = os_errno;
    return e;
  }
  static Error format(std::string message) { return Error(std::move(message), Kind::Format); }
  static Error limit(std::string message) { return Error(std::move(message), Kind::Limit); }

  // What went wrong in plain words when the message is vaguer ("unexpected
  // end of file" behind "I/O operation failed").
  Error& detail(std::string text) & {
    detail_ = std::move(text);
    return *this;
  }
  Error&& detail(std::string text) && { return std::move(detail(std::move(text))); }
  // The byte offset in the file where it went wrong; the first one set wins,
  // because the innermost reader knows the exact position.
  Error& at(std::uint64_t offset) & {
    if (!offset_) offset_ = offset;
    return *this;
  }
  Error&& at(std::uint64_t offset) && { return std::move(at(offset)); }
  // What was being read ("the geometry block"); the first one set wins.
  Error& reading(std::string field) & {
    if (field_.empty()) field_ = std::move(field);
    return *this;
  }
  Error&& reading(std::string field) && { return std::move(reading(std::move(field))); }
  // Puts `prefix` in front of the message ("FST open: ").
  Error& prefixed(std::string_view prefix) & {
    message_.insert(0, prefix);
    return *this;
  }
  Error&& prefixed(std::string_view prefix) && { return std::move(prefixed(prefix)); }

  const std::string& message() const { return message_; }
  Kind kind() const { return kind_; }
  int os_errno() const { return errno_; }
  const std::optional<std::uint64_t>& offset() const { return offset_; }
  const std::string& field() const { return field_; }
  const std::string& detail() const { return detail_; }

  // The detail, offset and field as one sentence ("unexpected end of file at
  // byte 1234 reading the geometry block"), or "" when there is none.
  std::string note() const;

 private:
  std::string message_;
  Kind kind_;
  int errno_ = 0;
  std::optional<std::uint64_t> offset_;
  std::string field_;
  std::string detail_;
};

// A value or the error that prevented it.
template <class T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  // Lets a member of a variant T, or a type T is built from, convert straight
  // into an Expected<T>.
  template <class U>
    requires(!std::is_same_v<std::decay_t<U>, T> && !std::is_same_v<std::decay_t<U>, Error> &&
             !std::is_same_v<std::decay_t<U>, Expected> && std::is_constructible_v<T, U &&>)
  Expected(U&& value) : state_(std::in_place_index<0>, std::forward<U>(value)) {}  // NOLINT
  Expected(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  Error& error() & { return std::get<1>(state_); }
  const Error& error() const& { return std::get<1>(state_); }
  Error&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

// Success or the first error.
template <>
class [[nodiscard]] Expected<void> {
 public:
  Expected() = default;
  Expected(Error error) : error_(std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  Error& error() & { return *error_; }
  const Error& error() const& { return *error_; }
  Error&& error() && { return std::move(*error_); }

 private:
  std::optional<Error> error_;
};

using Status = Expected<void>;

}  // namespace velk
