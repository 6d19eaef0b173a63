// The value of one signal at one index.
//
// A SignalValue is 16 bytes: a tag and an 8-byte payload. Bits and Real live
// inline; WideBits, Logic and Str keep their payload in an immutable,
// reference-counted heap block, so copying a value (which the store's forward
// fill does for every index) never allocates. Since the block is never
// written after construction, sharing it is indistinguishable from a deep copy.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace velk {

// Logic levels of one element of a Logic value.
inline constexpr std::uint8_t kLogic0 = 0;
inline constexpr std::uint8_t kLogic1 = 1;
inline constexpr std::uint8_t kLogicX = 2;
inline constexpr std::uint8_t kLogicZ = 3;

class SignalValue {
 public:
  // The tag numbers are part of the model: Bits 0 ... Empty 5.
  enum class Tag : std::uint32_t { Bits = 0, WideBits = 1, Logic = 2, Real = 3, Str = 4, Empty = 5 };

  SignalValue() noexcept : tag_(Tag::Empty), bits_(0) {}
  // Inline: the scans build these once per change.
  static SignalValue bits(std::uint64_t v) noexcept {
    SignalValue s;
    s.bits_ = v;
    s.tag_ = Tag::Bits;
    return s;
  }
  static SignalValue real(double v) noexcept {
    SignalValue s;
    s.real_ = v;
    s.tag_ = Tag::Real;
    return s;
  }
  static SignalValue empty() noexcept { return SignalValue(); }
  // Word 0 is the least significant 64 bits.
  static SignalValue wide_bits(std::span<const std::uint64_t> words);
  // One level per bit, element 0 the most significant.
  static SignalValue logic(std::span<const std::uint8_t> levels);
  static SignalValue str(std::string_view text);

  // Copies of Bits, Real and Empty are plain 16-byte copies; only the three
  // heap variants touch a reference count. These run for every slot of the
  // store, so the common path stays inline.
  SignalValue(const SignalValue& other) noexcept : tag_(other.tag_), bits_(other.bits_) {
    if (has_block()) retain();
  }
  SignalValue(SignalValue&& other) noexcept : tag_(other.tag_), bits_(other.bits_) {
    other.tag_ = Tag::Empty;
    other.bits_ = 0;
  }
  SignalValue& operator=(const SignalValue& other) noexcept {
    if (this == &other) return *this;
    if (other.has_block()) other.retain();
    if (has_block()) release();
    tag_ = other.tag_;
    bits_ = other.bits_;
    return *this;
  }
  SignalValue& operator=(SignalValue&& other) noexcept {
    if (this == &other) return *this;
    if (has_block()) release();
    tag_ = other.tag_;
    bits_ = other.bits_;
    other.tag_ = Tag::Empty;
    other.bits_ = 0;
    return *this;
  }
  ~SignalValue() {
    if (has_block()) release();
  }

  Tag tag() const noexcept { return tag_; }
  bool is_empty() const noexcept { return tag_ == Tag::Empty; }

  // Payload accessors; each is only meaningful for its own tag.
  std::uint64_t as_bits() const noexcept { return bits_; }
  double as_real() const noexcept { return real_; }
  std::span<const std::uint64_t> words() const noexcept;
  std::span<const std::uint8_t> levels() const noexcept;
  std::string_view text() const noexcept;

  // Numeric reading used by expressions and by signal_value_raw.
  std::optional<std::uint64_t> to_u64() const noexcept;

  // Same variant and equal payload; Real compares as floating point (NaN != NaN).
  friend bool operator==(const SignalValue& a, const SignalValue& b) noexcept;

 private:
  struct Block;  // refcounted immutable payload of WideBits, Logic and Str
  static Block* scalar_logic_block(std::uint8_t level) noexcept;
  static Block* make_block(const void* data, std::size_t bytes, std::size_t count);
  void retain() const noexcept;
  void release() noexcept;
  bool has_block() const noexcept {
    return tag_ == Tag::WideBits || tag_ == Tag::Logic || tag_ == Tag::Str;
  }

  Tag tag_;
  union {
    std::uint64_t bits_;
    double real_;
    Block* block_;
  };
};

static_assert(sizeof(SignalValue) == 16);

}  // namespace velk
