// An expression tree flattened into a list of column operations, evaluated
// over a block of indices at a time. Internal to the eval subsystem.
//
// Compiling walks the tree with an explicit stack, so a tree of any depth
// compiles and evaluates without deep recursion. A node reached twice at the
// same index offset (a subtree shared by several parents) is compiled once.
// Offsets of rel_eval nodes are folded into the leaves: a leaf knows the
// total offset at which it reads its signal, and each rel_eval node keeps
// only its range check.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "eval/expr.h"

namespace velk::detail {

// The value of a node at one index, 16 bytes. Values that fit in a word
// live inline: Bits (ref == nullptr), Real (ref == &kRealCell, n holds the
// double's bits) and Empty (ref == &kEmptyValue). WideBits, Logic and Str are
// borrowed by pointer from the tree, the trace's shared payloads or a holder
// the reader keeps for the block.
struct Cell {
  std::uint64_t n = 0;
  const SignalValue* ref = nullptr;
};

inline const SignalValue kEmptyValue;
inline const SignalValue kRealCell;  // only its address is used, as a marker

// `v` must outlive the cell only when it holds WideBits, Logic or Str.
inline Cell cell_of(const SignalValue& v) noexcept {
  switch (v.tag()) {
    case SignalValue::Tag::Bits: return Cell{v.as_bits(), nullptr};
    case SignalValue::Tag::Real: return Cell{std::bit_cast<std::uint64_t>(v.as_real()), &kRealCell};
    case SignalValue::Tag::Empty: return Cell{0, &kEmptyValue};
    default: return Cell{0, &v};
  }
}

// The cell's value: *c.ref for borrowed values, else rebuilt in `scratch`
// (no allocation: only word-sized values are rebuilt).
inline const SignalValue& view(const Cell& c, SignalValue& scratch) noexcept {
  if (!c.ref) return scratch = SignalValue::bits(c.n);
  if (c.ref == &kRealCell) return scratch = SignalValue::real(std::bit_cast<double>(c.n));
  return *c.ref;
}

inline SignalValue value_of(const Cell& c) {
  SignalValue scratch;
  return view(c, scratch);
}

// A cell for a value that may not outlive this call: WideBits, Logic and Str
// are kept in `holder` (a copy shares the payload, nothing is allocated).
inline Cell held_cell(SignalValue&& v, SignalValue& holder) noexcept {
  const Cell c = cell_of(v);
  if (c.ref != &v) return c;
  holder = std::move(v);
  return Cell{0, &holder};
}
inline Cell held_cell(const SignalValue& v, SignalValue&) noexcept { return cell_of(v); }  // stored: stable

inline bool truth_of(const Cell& c) noexcept {
  if (!c.ref) return c.n != 0;
  SignalValue scratch;
  return truth_value(view(c, scratch));
}

// The workspace of Program::run_dense: columns of `block` words and known
// masks, and per column whether its mask is all ones (its known entries are
// then not kept up to date).
struct DenseSpace {
  std::uint64_t* word;
  std::uint64_t* known;
  char* full;
  std::size_t block;
};
enum class DenseRead { kFull, kPartial, kFailed };

// A leaf of the program: the signal `id` read at index + offset.
struct Leaf {
  std::uint32_t id;
  std::int64_t offset;
};

class Program {
 public:
  // `max_index` bounds the rel_eval range checks; offsets that can never be
  // in range for an index >= 0 compile to a constant Empty.
  Program(const Expr& root, std::size_t max_index);

  const std::vector<Leaf>& leaves() const noexcept { return leaves_; }
  // Total offsets at which a leaf or a range check reads; a search index i
  // crosses a range edge where i + offset leaves or enters 0 ..= max_index.
  const std::vector<std::int64_t>& offsets() const noexcept { return offsets_; }
  // Cells per index of a workspace (one column per live intermediate).
  std::size_t slots() const noexcept { return slots_; }

  // Evaluates the program at the k indices idx[0..k), ascending; k must not
  // exceed the block size of `cells` (slots() * block cells). read(leaf,
  // slot) fills cells[slot * block ..][0..k) with the cells of leaf number
  // `leaf` at those indices; values it borrows must stay put until the next
  // read into the same slot. Returns the column of the root.
  template <class Read>
  const Cell* run(const std::size_t* idx, std::size_t k, Cell* cells, std::size_t block, Read&& read) const;

  // Whether run_dense can evaluate the tree: every constant is Bits or
  // Empty, so that where the leaves read only Bits and Empty every node's
  // value is Bits or Empty as well.
  bool dense() const noexcept { return dense_; }
  // Columns of run_dense's workspace: slots(), the first few constants
  // spread once for all blocks, two for other constants, and one whose
  // known mask is all ones.
  std::size_t dense_columns() const noexcept { return slots_ + dense_constants() + 3; }
  // Sets up a new workspace of dense_columns() columns of `block` entries
  // (once, before the first run_dense).
  void prepare_dense(const DenseSpace& space) const;

  // Evaluates the program at every index of [begin, begin + len), len <=
  // space.block, one operator at a time over whole columns: a value is a
  // 64-bit word with a mask (all ones for Bits, zero for Empty; see
  // SignalCursor::read_words). read(leaf, word, known) fills the leaf's
  // columns for those indices and returns kFull when every reading is Bits,
  // kPartial when some are Empty, and kFailed when the leaf reads anything
  // else there; run_dense then stops and returns false. Otherwise bit j % 64
  // of truth[j / 64] is set to the truth of the tree at begin + j.
  template <class Read>
  bool run_dense(std::size_t begin, std::size_t len, const DenseSpace& space, std::uint64_t* truth,
                 Read&& read) const;

 private:
  struct Operand {
    std::uint32_t index = 0;  // a slot, or a constant when constant is set
    bool constant = false;
  };
  struct Instr {
    Expr::Kind kind;
    Operand a, b;
    std::uint32_t out = 0;     // slot
    std::uint32_t leaf = 0;    // Signal
    std::int64_t offset = 0;   // RelEval: the total offset it checks
    std::uint32_t high = 0, low = 0;
  };

  void compile(const Expr& root);
  void assign_slots();
  bool in_range(std::size_t index, std::int64_t offset) const noexcept;
  void op(const Instr& in, const std::size_t* idx, std::size_t k, Cell* cells, std::size_t block) const;
  void dense_op(const Instr& in, std::size_t begin, std::size_t len, const DenseSpace& space) const;
  void dense_truth(std::size_t len, const std::uint64_t* word, const std::uint64_t* known, std::uint64_t* truth) const;
  std::size_t ones_column() const noexcept { return slots_ + dense_constants() + 2; }
  std::size_t dense_constants() const noexcept { return std::min<std::size_t>(constants_.size(), 8); }

  std::size_t max_index_;
  std::vector<Instr> code_;
  std::vector<Cell> constants_;
  std::vector<Leaf> leaves_;
  std::vector<std::int64_t> offsets_;
  Operand root_;
  std::size_t slots_ = 0;
  bool dense_ = true;
};

template <class Read>
const Cell* Program::run(const std::size_t* idx, std::size_t k, Cell* cells, std::size_t block,
                         Read&& read) const {
  for (const Instr& in : code_) {
    if (in.kind == Expr::Kind::Signal) {
      read(in.leaf, in.out);
      continue;
    }
    op(in, idx, k, cells, block);
  }
  if (!root_.constant) return cells + root_.index * block;
  // A constant root: spread it over the block's first column-sized area.
  Cell* out = cells;
  for (std::size_t j = 0; j < k; ++j) out[j] = constants_[root_.index];
  return out;
}

template <class Read>
bool Program::run_dense(std::size_t begin, std::size_t len, const DenseSpace& space, std::uint64_t* truth,
                        Read&& read) const {
  for (const Instr& in : code_) {
    if (in.kind != Expr::Kind::Signal) {
      dense_op(in, begin, len, space);
      continue;
    }
    const DenseRead r = read(in.leaf, space.word + in.out * space.block, space.known + in.out * space.block);
    if (r == DenseRead::kFailed) return false;
    space.full[in.out] = r == DenseRead::kFull;
  }
  if (root_.constant) {
    const Cell& c = constants_[root_.index];
    const bool t = !c.ref && c.n != 0;
    std::fill_n(truth, (len + 63) / 64, t ? ~std::uint64_t{0} : 0);
    if (t && len % 64 != 0) truth[len / 64] = (std::uint64_t{1} << (len % 64)) - 1;
  } else {
    const std::size_t k = space.full[root_.index] ? ones_column() : root_.index;
    dense_truth(len, space.word + root_.index * space.block, space.known + k * space.block, truth);
  }
  return true;
}

}  // namespace velk::detail
