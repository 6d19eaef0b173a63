// The evaluation engine behind eval and eval_bool, shared with the searches so
// that a search sets it up once rather than once per index. Internal to the
// eval subsystem.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "eval/expr.h"

namespace velk::detail {

// Only Signal, Const and RelEval nodes produce arbitrary values; every other
// node yields Bits or Empty. So operator nodes compute an optional 64-bit
// number (none meaning Empty), and leaves hand their value to a callback by
// reference. Nothing on this path allocates, and a Const payload is never
// copied.
class Evaluator {
 public:
  explicit Evaluator(const Trace& trace) : trace_(trace), max_index_(trace.max_index()) {}

  // Calls f with the node's value at index and returns f's result.
  template <class F>
  auto with_value(const Expr& e, std::size_t index, F&& f) const {
    switch (e.kind()) {
      case Expr::Kind::Signal: {
        return f(trace_.value_at(e.signal_id(), index));
      }
      case Expr::Kind::Const:
        return f(e.value());
      case Expr::Kind::RelEval: {
        const auto target = shifted(index, e.offset());
        if (!target) return f(kEmpty);
        return with_value(e.child(), *target, f);
      }
      default: {
        const auto n = op(e, index);
        const SignalValue v = n ? SignalValue::bits(*n) : SignalValue();
        return f(v);
      }
    }
  }

  std::optional<std::uint64_t> number(const Expr& e, std::size_t index) const {
    if (!is_leaf(e.kind())) return op(e, index);
    return with_value(e, index, [](const SignalValue& v) { return reading(v); });
  }

  bool truth(const Expr& e, std::size_t index) const {
    if (!is_leaf(e.kind())) return op(e, index).value_or(0) != 0;
    return with_value(e, index, [](const SignalValue& v) {
      return v.tag() == SignalValue::Tag::Bits ? v.as_bits() != 0 : truth_value(v);
    });
  }

 private:
  static inline const SignalValue kEmpty;

  static bool is_leaf(Expr::Kind kind) {
    return kind == Expr::Kind::Signal || kind == Expr::Kind::Const || kind == Expr::Kind::RelEval;
  }

  // index + offset as a signed 64-bit sum; none when it leaves 0 ..= max_index
  // (an overflowing sum is out of range too).
  std::optional<std::size_t> shifted(std::size_t index, std::int64_t offset) const {
    if (index > static_cast<std::size_t>(INT64_MAX)) return std::nullopt;
    std::int64_t target = 0;
    if (__builtin_add_overflow(static_cast<std::int64_t>(index), offset, &target)) return std::nullopt;
    if (target < 0 || static_cast<std::uint64_t>(target) > max_index_) return std::nullopt;
    return static_cast<std::size_t>(target);
  }

  static std::uint64_t flag(bool b) { return b ? 1 : 0; }

  // The numeric reading, with the common Bits case kept inline.
  static std::optional<std::uint64_t> reading(const SignalValue& v) {
    if (v.tag() == SignalValue::Tag::Bits) return v.as_bits();
    return v.to_u64();
  }

  // Value equality, or else equal numeric readings.
  static bool loosely_equal(const SignalValue& a, const SignalValue& b) {
    if (a.tag() == SignalValue::Tag::Bits && b.tag() == SignalValue::Tag::Bits) return a.as_bits() == b.as_bits();
    if (a == b) return true;
    const auto x = reading(a);
    if (!x) return false;
    const auto y = reading(b);
    return y && *x == *y;
  }

  static bool has_level(const SignalValue& v, std::uint8_t level) {
    for (const std::uint8_t l : v.levels()) {  // empty unless Logic
      if (l == level) return true;
    }
    return false;
  }

  bool equal(const Expr& e, std::size_t index) const {
    return with_value(e.left(), index, [&](const SignalValue& a) {
      return with_value(e.right(), index, [&](const SignalValue& b) { return loosely_equal(a, b); });
    });
  }

  // Numeric operators: none when either side has no numeric reading.
  template <class Op>
  std::optional<std::uint64_t> arith(const Expr& e, std::size_t index, Op fn) const {
    const auto a = number(e.left(), index);
    const auto b = number(e.right(), index);
    if (!a || !b) return std::nullopt;
    return fn(*a, *b);
  }

  std::optional<std::uint64_t> op(const Expr& e, std::size_t index) const {
    using K = Expr::Kind;
    switch (e.kind()) {
      case K::Not:
        return flag(!truth(e.child(), index));
      case K::And: {
        const bool a = truth(e.left(), index);  // no short-circuit
        const bool b = truth(e.right(), index);
        return flag(a && b);
      }
      case K::Or: {
        const bool a = truth(e.left(), index);
        const bool b = truth(e.right(), index);
        return flag(a || b);
      }
      case K::Eq:
        return flag(equal(e, index));
      case K::Neq:
        return flag(!equal(e, index));
      case K::Gt:
        return arith(e, index, [](std::uint64_t a, std::uint64_t b) { return flag(a > b); });
      case K::Lt:
        return arith(e, index, [](std::uint64_t a, std::uint64_t b) { return flag(a < b); });
      case K::Gte:
        return arith(e, index, [](std::uint64_t a, std::uint64_t b) { return flag(a >= b); });
      case K::Lte:
        return arith(e, index, [](std::uint64_t a, std::uint64_t b) { return flag(a <= b); });
      case K::Add:
        return arith(e, index, [](std::uint64_t a, std::uint64_t b) { return a + b; });
      case K::Sub:
        return arith(e, index, [](std::uint64_t a, std::uint64_t b) { return a - b; });
      case K::BitAnd:
        return arith(e, index, [](std::uint64_t a, std::uint64_t b) { return a & b; });
      case K::BitOr:
        return arith(e, index, [](std::uint64_t a, std::uint64_t b) { return a | b; });
      case K::BitXor:
        return arith(e, index, [](std::uint64_t a, std::uint64_t b) { return a ^ b; });
      case K::Slice: {
        const auto n = number(e.child(), index);
        if (!n) return std::nullopt;
        return bit_slice(*n, e.high(), e.low());
      }
      case K::Signed:
        return number(e.child(), index);
      case K::IsX:
        return flag(with_value(e.child(), index, [](const SignalValue& v) {
          return v.is_empty() || has_level(v, kLogicX);
        }));
      case K::IsZ:
        return flag(with_value(e.child(), index, [](const SignalValue& v) { return has_level(v, kLogicZ); }));
      case K::AlwaysTrue:
        return 1;
      case K::Signal:
      case K::Const:
      case K::RelEval:
        break;  // leaves go through with_value
    }
    return std::nullopt;
  }

  const Trace& trace_;
  const std::size_t max_index_;
};

}  // namespace velk::detail
