// Expression trees over the signals of a trace, and their evaluation at one
// index.
//
// An Expr is an immutable value: each node owns its children, copying copies
// the whole tree. Evaluation only reads the tree and the trace, so any number
// of threads may evaluate one tree over one trace at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "model/signal_value.h"
#include "model/trace.h"

namespace velk {

class Expr {
 public:
  // The numbering is part of the model (Signal 0 ... AlwaysTrue 21).
  enum class Kind : std::uint32_t {
    Signal, Const, RelEval, Not, And, Or, Eq, Neq, Gt, Lt, Gte, Lte,
    Add, Sub, BitAnd, BitOr, BitXor, Slice, Signed, IsX, IsZ, AlwaysTrue
  };

  static Expr signal(std::uint32_t id);
  static Expr constant(SignalValue value);
  static Expr rel_eval(Expr child, std::int64_t offset);
  // kind is one of Not, Signed, IsX, IsZ.
  static Expr unary(Kind kind, Expr child);
  // kind is one of And .. BitXor.
  static Expr binary(Kind kind, Expr left, Expr right);
  static Expr slice(std::uint32_t high, std::uint32_t low, Expr child);
  static Expr always_true();

  Expr(const Expr& other);  // deep copy
  Expr(Expr&&) noexcept;
  Expr& operator=(const Expr&);
  Expr& operator=(Expr&&) noexcept;
  ~Expr();

  Kind kind() const noexcept { return kind_; }

  // Payload accessors; each is only meaningful for the kinds named.
  std::uint32_t signal_id() const noexcept { return id_; }       // Signal
  const SignalValue& value() const noexcept { return value_; }   // Const
  std::int64_t offset() const noexcept { return offset_; }       // RelEval
  std::uint32_t high() const noexcept { return high_; }          // Slice
  std::uint32_t low() const noexcept { return low_; }            // Slice
  // The only child of unary nodes, RelEval and Slice; the left one of binary nodes.
  const Expr& child() const noexcept { return *left_; }
  const Expr& left() const noexcept { return *left_; }
  const Expr& right() const noexcept { return *right_; }  // binary nodes

  // Number of nodes in the tree (this one included).
  std::size_t size() const noexcept;

 private:
  explicit Expr(Kind kind) noexcept : kind_(kind) {}

  Kind kind_;
  std::uint32_t id_ = 0;    // Signal
  std::uint32_t high_ = 0;  // Slice
  std::uint32_t low_ = 0;   // Slice
  std::int64_t offset_ = 0;
  SignalValue value_;
  std::unique_ptr<Expr> left_;
  std::unique_ptr<Expr> right_;
};

// The value of `expr` at `index`; Empty when there is no answer. Never fails.
SignalValue eval(const Trace& trace, const Expr& expr, std::size_t index);
// The truth value of eval(trace, expr, index).
bool eval_bool(const Trace& trace, const Expr& expr, std::size_t index);
// Bits/WideBits: non-zero; Logic: some element is 1; Real: != 0.0 (NaN is
// true); Str: non-empty; Empty: false.
bool truth_value(const SignalValue& value);

}  // namespace velk
