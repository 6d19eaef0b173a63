#include "eval/expr.h"

#include "eval/evaluator.h"

namespace velk {

Expr Expr::signal(std::uint32_t id) {
  Expr e(Kind::Signal);
  e.id_ = id;
  return e;
}
Expr Expr::constant(SignalValue value) {
  Expr e(Kind::Const);
  e.value_ = std::move(value);
  return e;
}
Expr Expr::rel_eval(Expr child, std::int64_t offset) {
  Expr e(Kind::RelEval);
  e.offset_ = offset;
  e.left_ = std::make_unique<Expr>(std::move(child));
  return e;
}
Expr Expr::unary(Kind kind, Expr child) {
  Expr e(kind);
  e.left_ = std::make_unique<Expr>(std::move(child));
  return e;
}
Expr Expr::binary(Kind kind, Expr left, Expr right) {
  Expr e(kind);
  e.left_ = std::make_unique<Expr>(std::move(left));
  e.right_ = std::make_unique<Expr>(std::move(right));
  return e;
}
Expr Expr::slice(std::uint32_t high, std::uint32_t low, Expr child) {
  Expr e(Kind::Slice);
  e.high_ = high;
  e.low_ = low;
  e.left_ = std::make_unique<Expr>(std::move(child));
  return e;
}
Expr Expr::always_true() { return Expr(Kind::AlwaysTrue); }

Expr::Expr(const Expr& other)
    : kind_(other.kind_),
      id_(other.id_),
      high_(other.high_),
      low_(other.low_),
      offset_(other.offset_),
      value_(other.value_),
      left_(other.left_ ? std::make_unique<Expr>(*other.left_) : nullptr),
      right_(other.right_ ? std::make_unique<Expr>(*other.right_) : nullptr) {}
Expr::Expr(Expr&&) noexcept = default;
Expr& Expr::operator=(const Expr& other) {
  if (this != &other) *this = Expr(other);
  return *this;
}
Expr& Expr::operator=(Expr&&) noexcept = default;
Expr::~Expr() = default;

std::size_t Expr::size() const noexcept {
  return 1 + (left_ ? left_->size() : 0) + (right_ ? right_->size() : 0);
}

bool truth_value(const SignalValue& value) {
  switch (value.tag()) {
    case SignalValue::Tag::Bits:
      return value.as_bits() != 0;
    case SignalValue::Tag::WideBits:
      for (const std::uint64_t word : value.words()) {
        if (word != 0) return true;
      }
      return false;
    case SignalValue::Tag::Logic:
      for (const std::uint8_t level : value.levels()) {
        if (level == kLogic1) return true;
      }
      return false;
    case SignalValue::Tag::Real:
      return value.as_real() != 0.0;  // NaN is true
    case SignalValue::Tag::Str:
      return !value.text().empty();
    case SignalValue::Tag::Empty:
      return false;
  }
  return false;
}

SignalValue eval(const Trace& trace, const Expr& expr, std::size_t index) {
  return detail::Evaluator(trace).with_value(expr, index, [](const SignalValue& v) { return v; });
}

bool eval_bool(const Trace& trace, const Expr& expr, std::size_t index) {
  return detail::Evaluator(trace).truth(expr, index);
}

}  // namespace velk
