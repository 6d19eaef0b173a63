#include "eval/expr.h"

#include <algorithm>
#include <vector>

#include "eval/evaluator.h"
#include "eval/program.h"

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
Expr::Link Expr::share(Expr child) { return std::make_shared<const Expr>(std::move(child)); }

void Expr::measure() noexcept {
  const auto add = [](std::size_t a, std::size_t b) {
    std::size_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? SIZE_MAX : sum;
  };
  const std::size_t left_size = left_ ? left_->size_ : 0;
  const std::size_t right_size = right_ ? right_->size_ : 0;
  size_ = add(1, add(left_size, right_size));
  depth_ = 1 + std::max(left_ ? left_->depth_ : 0, right_ ? right_->depth_ : 0);
}

Expr Expr::rel_eval(Expr child, std::int64_t offset) {
  Expr e(Kind::RelEval);
  e.offset_ = offset;
  e.left_ = share(std::move(child));
  e.measure();
  return e;
}
Expr Expr::unary(Kind kind, Expr child) {
  Expr e(kind);
  e.left_ = share(std::move(child));
  e.measure();
  return e;
}
Expr Expr::binary(Kind kind, Expr left, Expr right) {
  Expr e(kind);
  e.left_ = share(std::move(left));
  e.right_ = share(std::move(right));
  e.measure();
  return e;
}
Expr Expr::slice(std::uint32_t high, std::uint32_t low, Expr child) {
  Expr e(Kind::Slice);
  e.high_ = high;
  e.low_ = low;
  e.left_ = share(std::move(child));
  e.measure();
  return e;
}
Expr Expr::always_true() { return Expr(Kind::AlwaysTrue); }

Expr::Expr(const Expr& other) = default;
Expr::Expr(Expr&&) noexcept = default;
Expr& Expr::operator=(const Expr& other) {
  if (this != &other) *this = Expr(other);
  return *this;
}
Expr& Expr::operator=(Expr&& other) noexcept {
  if (this == &other) return *this;
  release_children();
  kind_ = other.kind_;
  id_ = other.id_;
  high_ = other.high_;
  low_ = other.low_;
  offset_ = other.offset_;
  value_ = std::move(other.value_);
  left_ = std::move(other.left_);
  right_ = std::move(other.right_);
  size_ = other.size_;
  depth_ = other.depth_;
  return *this;
}
Expr::~Expr() { release_children(); }

// Plain member destruction would recurse once per level of a uniquely owned
// chain. Below this depth that recursion is harmless and allocation-free.
constexpr std::size_t kRecursiveReleaseDepth = 512;

void Expr::release_children() noexcept {
  if (!left_ && !right_) return;
  if (depth_ <= kRecursiveReleaseDepth) {
    left_.reset();
    right_.reset();
    return;
  }
  // Children that this tree owns alone hand their own children to the stack
  // before they die, so each node dies childless and nothing recurses.
  std::vector<Link> pending;
  pending.push_back(std::move(left_));
  pending.push_back(std::move(right_));
  while (!pending.empty()) {
    Link node = std::move(pending.back());
    pending.pop_back();
    if (!node || node.use_count() != 1) continue;  // a shared subtree just loses one owner
    // Sole owner: the node was created non-const by share(), and nobody else
    // can observe it any more.
    Expr& last = const_cast<Expr&>(*node);
    if (last.left_) pending.push_back(std::move(last.left_));
    if (last.right_) pending.push_back(std::move(last.right_));
  }
  depth_ = 1;
}

std::uint64_t bit_slice(std::uint64_t n, std::uint64_t high, std::uint64_t low) noexcept {
  if (high < low) return 0;
  const std::uint64_t count = high - low + 1;  // 0 only when the subtraction wrapped: whole word
  const std::uint64_t shifted = n >> (low % 64);
  return (count != 0 && count < 64) ? shifted & ((std::uint64_t{1} << count) - 1) : shifted;
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

namespace {

// Trees up to this size and depth are evaluated by the recursive evaluator,
// which needs no set-up and never allocates. Larger ones (deep chains, or
// shared subtrees that stand for huge trees) go through a compiled program,
// which visits each distinct node once and never recurses.
constexpr std::size_t kRecursiveDepth = 256, kRecursiveSize = 4096;

bool small(const Expr& expr) { return expr.depth() <= kRecursiveDepth && expr.size() <= kRecursiveSize; }

// Values only: the cells of the run may borrow from `held`, so the result is
// turned into a value before they go.
template <class Use>
auto eval_compiled(const Trace& trace, const Expr& expr, std::size_t index, Use&& use) {
  const detail::Program program(expr, trace.max_index());
  std::vector<detail::Cell> cells(program.slots());
  std::vector<SignalValue> held(program.slots());
  const auto read = [&](std::uint32_t leaf, std::size_t slot) {
    const detail::Leaf& l = program.leaves()[leaf];
    const __int128 t = static_cast<__int128>(index) + l.offset;
    const bool readable = l.offset == 0 || (t >= 0 && t <= static_cast<__int128>(trace.max_index()));
    cells[slot] = readable ? detail::held_cell(trace.value_at(l.id, static_cast<std::size_t>(t)), held[slot])
                           : detail::Cell{0, &detail::kEmptyValue};
  };
  return use(*program.run(&index, 1, cells.data(), 1, read));
}

}  // namespace

SignalValue eval(const Trace& trace, const Expr& expr, std::size_t index) {
  if (!small(expr)) return eval_compiled(trace, expr, index, detail::value_of);
  return detail::Evaluator(trace).with_value(expr, index, [](const SignalValue& v) { return v; });
}

bool eval_bool(const Trace& trace, const Expr& expr, std::size_t index) {
  if (!small(expr)) return eval_compiled(trace, expr, index, detail::truth_of);
  return detail::Evaluator(trace).truth(expr, index);
}

}  // namespace velk
