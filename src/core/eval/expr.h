// Expression trees over the signals of a trace, and their evaluation at one
// index.
//
// An Expr is an immutable value. Nodes never change once built, so children
// are shared between trees rather than copied: combining two expressions or
// copying one costs O(1) whatever their size, and each Expr still behaves as
// an independent value. Evaluation only reads the tree and the trace, so any
// number of threads may evaluate one tree over one trace at once.
//
// Shared subtrees make very deep trees cheap to build (a chain of a million
// nodes), so nothing that walks a tree may recurse once per level: copies are
// O(1), destruction and the evaluation of deep trees use explicit stacks.
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

  Expr(const Expr& other);  // shares the children
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

  // Number of nodes in the tree (this one included), counting a shared
  // subtree once per use; saturates at SIZE_MAX.
  std::size_t size() const noexcept { return size_; }
  // Nodes on the longest path from this node to a leaf (a leaf has depth 1).
  std::size_t depth() const noexcept { return depth_; }

 private:
  using Link = std::shared_ptr<const Expr>;

  explicit Expr(Kind kind) noexcept : kind_(kind) {}
  static Link share(Expr child);
  // Sets size_ and depth_ from the children.
  void measure() noexcept;
  // Drops the children without recursing once per level.
  void release_children() noexcept;

  Kind kind_;
  std::uint32_t id_ = 0;    // Signal
  std::uint32_t high_ = 0;  // Slice
  std::uint32_t low_ = 0;   // Slice
  std::int64_t offset_ = 0;
  SignalValue value_;
  Link left_;
  Link right_;
  std::size_t size_ = 1;
  std::size_t depth_ = 1;
};

// Bits low..high of n, the shift taken modulo 64: 0 when high < low; no mask
// when the count high - low + 1 is 64 or more (or wraps to 0).
std::uint64_t bit_slice(std::uint64_t n, std::uint64_t high, std::uint64_t low) noexcept;

// The value of `expr` at `index`; Empty when there is no answer. Never fails.
SignalValue eval(const Trace& trace, const Expr& expr, std::size_t index);
// The truth value of eval(trace, expr, index).
bool eval_bool(const Trace& trace, const Expr& expr, std::size_t index);
// Bits/WideBits: non-zero; Logic: some element is 1; Real: != 0.0 (NaN is
// true); Str: non-empty; Empty: false.
bool truth_value(const SignalValue& value);

}  // namespace velk
