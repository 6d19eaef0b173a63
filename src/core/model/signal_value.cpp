#include "model/signal_value.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>
#include <stdexcept>

namespace velk {

// Header of a payload block; the payload bytes follow it directly (the header
// is 8 bytes, so 64-bit words stay aligned).
struct SignalValue::Block {
  std::atomic<std::uint32_t> refs;
  std::uint32_t count;  // elements: words, levels or bytes of text

  unsigned char* data() noexcept { return reinterpret_cast<unsigned char*>(this + 1); }
  const unsigned char* data() const noexcept { return reinterpret_cast<const unsigned char*>(this + 1); }
};

static_assert(sizeof(std::atomic<std::uint32_t>) == 4);

namespace {

// Blocks with this count are never freed and never counted: the single-level
// Logic values (a scalar that is x or z), which dumps repeat millions of
// times, share one of them each instead of allocating and then contending on
// a reference count from every thread that reads them.
constexpr std::uint32_t kImmortal = UINT32_MAX;

}  // namespace

SignalValue::Block* SignalValue::make_block(const void* data, std::size_t bytes, std::size_t count) {
  if (count > UINT32_MAX) throw std::length_error("signal value too large");
  void* raw = ::operator new(sizeof(Block) + bytes);
  auto* block = new (raw) Block{};
  block->refs.store(1, std::memory_order_relaxed);
  block->count = static_cast<std::uint32_t>(count);
  if (bytes) std::memcpy(block->data(), data, bytes);
  return block;
}

void SignalValue::retain() const noexcept {
  if (block_->refs.load(std::memory_order_relaxed) == kImmortal) return;
  block_->refs.fetch_add(1, std::memory_order_relaxed);
}

void SignalValue::release() noexcept {
  if (block_->refs.load(std::memory_order_relaxed) == kImmortal) return;
  if (block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    block_->~Block();
    ::operator delete(block_);
  }
}

SignalValue SignalValue::wide_bits(std::span<const std::uint64_t> words) {
  SignalValue s;
  s.block_ = make_block(words.data(), words.size_bytes(), words.size());
  s.tag_ = Tag::WideBits;
  return s;
}

SignalValue::Block* SignalValue::scalar_logic_block(std::uint8_t level) noexcept {
  // The level byte follows the header, where data() looks for it.
  struct ScalarLogicBlock {
    Block header;
    unsigned char level;
  };
  static_assert(offsetof(ScalarLogicBlock, level) == sizeof(Block));
  static ScalarLogicBlock blocks[4] = {
      {{kImmortal, 1}, 0}, {{kImmortal, 1}, 1}, {{kImmortal, 1}, 2}, {{kImmortal, 1}, 3}};
  return &blocks[level].header;
}

SignalValue SignalValue::logic(std::span<const std::uint8_t> levels) {
  SignalValue s;
  if (levels.size() == 1 && levels[0] <= kLogicZ) {
    s.block_ = scalar_logic_block(levels[0]);
    s.tag_ = Tag::Logic;
    return s;
  }
  s.block_ = make_block(levels.data(), levels.size(), levels.size());
  s.tag_ = Tag::Logic;
  return s;
}

SignalValue SignalValue::str(std::string_view text) {
  SignalValue s;
  s.block_ = make_block(text.data(), text.size(), text.size());
  s.tag_ = Tag::Str;
  return s;
}


std::span<const std::uint64_t> SignalValue::words() const noexcept {
  if (tag_ != Tag::WideBits) return {};
  return {reinterpret_cast<const std::uint64_t*>(block_->data()), block_->count};
}

std::span<const std::uint8_t> SignalValue::levels() const noexcept {
  if (tag_ != Tag::Logic) return {};
  return {block_->data(), block_->count};
}

std::string_view SignalValue::text() const noexcept {
  if (tag_ != Tag::Str) return {};
  return {reinterpret_cast<const char*>(block_->data()), block_->count};
}

namespace {

std::optional<std::uint64_t> logic_to_u64(std::span<const std::uint8_t> levels) {
  std::uint64_t v = 0;
  for (std::uint8_t level : levels) {
    if (level > 1) return std::nullopt;
    v = (v << 1) | level;  // only the last 64 elements survive the shifts
  }
  return v;
}

std::uint64_t saturating_u64(double x) {
  if (std::isnan(x) || x <= 0.0) return 0;
  if (x >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(x);
}

// One optional '+', then one or more ASCII digits; none on overflow.
std::optional<std::uint64_t> decimal_u64(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

}  // namespace

std::optional<std::uint64_t> SignalValue::to_u64() const noexcept {
  switch (tag_) {
    case Tag::Bits: return bits_;
    case Tag::WideBits:
      if (block_->count == 0) return std::nullopt;
      return words()[0];
    case Tag::Logic: return logic_to_u64(levels());
    case Tag::Real: return saturating_u64(real_);
    case Tag::Str: return decimal_u64(text());
    case Tag::Empty: return std::nullopt;
  }
  return std::nullopt;
}

bool operator==(const SignalValue& a, const SignalValue& b) noexcept {
  if (a.tag_ != b.tag_) return false;
  using Tag = SignalValue::Tag;
  switch (a.tag_) {
    case Tag::Bits: return a.bits_ == b.bits_;
    case Tag::Real: return a.real_ == b.real_;
    case Tag::Empty: return true;
    case Tag::WideBits:
    case Tag::Logic:
    case Tag::Str:
      if (a.block_ == b.block_) return true;
      {
        const std::size_t unit = a.tag_ == Tag::WideBits ? 8 : 1;
        return a.block_->count == b.block_->count &&
               std::memcmp(a.block_->data(), b.block_->data(), a.block_->count * unit) == 0;
      }
  }
  return false;
}

}  // namespace velk
