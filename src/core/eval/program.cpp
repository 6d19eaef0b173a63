#include "eval/program.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace velk::detail {
namespace {

using K = Expr::Kind;

struct NodeKey {
  const Expr* node;
  std::int64_t offset;
  bool operator==(const NodeKey&) const = default;
};

// The (node, offset) pairs already compiled: open addressing in one array,
// so that compiling a small tree costs one allocation rather than one per node.
template <class V>
class NodeTable {
 public:
  explicit NodeTable(std::size_t expected) {
    std::size_t capacity = 16;
    while (capacity < expected * 2) capacity *= 2;
    slots_.resize(capacity);
  }

  const V* find(const NodeKey& key) const {
    for (std::size_t i = hash(key) & mask();; i = (i + 1) & mask()) {
      const Slot& s = slots_[i];
      if (!s.used) return nullptr;
      if (s.key == key) return &s.value;
    }
  }
  const V& at(const NodeKey& key) const { return *find(key); }

  void insert(const NodeKey& key, const V& value) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    place(key, value);
  }

 private:
  struct Slot {
    NodeKey key{nullptr, 0};
    V value{};
    bool used = false;
  };

  std::size_t mask() const { return slots_.size() - 1; }
  static std::size_t hash(const NodeKey& k) {
    const auto p = reinterpret_cast<std::uintptr_t>(k.node) >> 4;
    return static_cast<std::size_t>((p ^ static_cast<std::uint64_t>(k.offset)) * 0x9E3779B97F4A7C15ull >> 17);
  }
  void place(const NodeKey& key, const V& value) {
    std::size_t i = hash(key) & mask();
    while (slots_[i].used) i = (i + 1) & mask();
    slots_[i] = Slot{key, value, true};
    ++used_;
  }
  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    used_ = 0;
    for (const Slot& s : old) {
      if (s.used) place(s.key, s.value);
    }
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

// Room reserved up front for a tree of `size` nodes (shared subtrees may
// make size far larger than the distinct nodes: the tables grow as needed).
std::size_t expected_nodes(const Expr& root) { return std::min<std::size_t>(root.size(), 4096); }

bool is_binary(K kind) { return kind >= K::And && kind <= K::BitXor; }

std::uint64_t flag(bool b) { return b ? 1 : 0; }

bool truth(const Cell& c) { return truth_of(c); }

bool reading(const Cell& c, std::uint64_t& out) {
  if (!c.ref) {
    out = c.n;
    return true;
  }
  SignalValue scratch;
  const auto r = view(c, scratch).to_u64();
  if (!r) return false;
  out = *r;
  return true;
}

// Value equality, or else equal numeric readings.
bool loosely_equal(const Cell& a, const Cell& b) {
  if (!a.ref && !b.ref) return a.n == b.n;
  SignalValue scratch_a, scratch_b;
  const SignalValue& x = view(a, scratch_a);
  const SignalValue& y = view(b, scratch_b);
  if (x == y) return true;
  const auto p = x.to_u64();
  if (!p) return false;
  const auto q = y.to_u64();
  return q && *p == *q;
}

bool has_level(const Cell& c, std::uint8_t level) {
  if (!c.ref || c.ref == &kRealCell) return false;
  for (const std::uint8_t l : c.ref->levels()) {  // empty unless Logic
    if (l == level) return true;
  }
  return false;
}

bool is_x(const Cell& c) { return c.ref == &kEmptyValue || has_level(c, kLogicX); }

Cell bits(std::uint64_t n) { return Cell{n, nullptr}; }
Cell empty() { return Cell{0, &kEmptyValue}; }

}  // namespace

Program::Program(const Expr& root, std::size_t max_index) : max_index_(max_index) {
  compile(root);
  assign_slots();
  std::sort(offsets_.begin(), offsets_.end());
  offsets_.erase(std::unique(offsets_.begin(), offsets_.end()), offsets_.end());
}

// Post-order walk with an explicit stack; code_ operands hold instruction
// numbers until assign_slots turns them into slots.
void Program::compile(const Expr& root) {
  const std::size_t expected = expected_nodes(root);
  NodeTable<Operand> done(expected);
  code_.reserve(expected);
  leaves_.reserve(expected);
  constants_.reserve(expected);
  struct Frame {
    const Expr* node;
    std::int64_t offset;
    bool expanded;
  };
  const auto key_of = [](const Expr* e, std::int64_t offset) {
    // Constants read nothing, so their offset does not matter.
    const bool fixed = e->kind() == K::Const || e->kind() == K::AlwaysTrue;
    return NodeKey{e, fixed ? 0 : offset};
  };
  // The total offset below a rel_eval node; none when no index >= 0 can
  // reach it in range (overflow included).
  const auto below = [this](const Expr* e, std::int64_t offset) -> std::optional<std::int64_t> {
    std::int64_t total = 0;
    if (__builtin_add_overflow(offset, e->offset(), &total)) return std::nullopt;
    if (total > 0 && static_cast<std::uint64_t>(total) > max_index_) return std::nullopt;
    return total;
  };
  const auto constant = [this](Cell c) {
    if (c.ref != nullptr && c.ref != &kEmptyValue) dense_ = false;
    constants_.push_back(c);
    return Operand{static_cast<std::uint32_t>(constants_.size() - 1), true};
  };
  const auto emit = [this](Instr in) {
    code_.push_back(in);
    return Operand{static_cast<std::uint32_t>(code_.size() - 1), false};
  };

  std::vector<Frame> stack;
  stack.reserve(std::min<std::size_t>(root.depth() * 2, 4096));
  stack.push_back({&root, 0, false});
  while (!stack.empty()) {
    const Frame f = stack.back();
    const NodeKey key = key_of(f.node, f.offset);
    if (done.find(key)) {
      stack.pop_back();
      continue;
    }
    const Expr& e = *f.node;
    if (!f.expanded) {
      stack.back().expanded = true;
      if (e.kind() == K::RelEval) {
        if (const auto total = below(f.node, f.offset)) stack.push_back({&e.child(), *total, false});
      } else if (is_binary(e.kind())) {
        stack.push_back({&e.right(), f.offset, false});
        stack.push_back({&e.left(), f.offset, false});
      } else if (e.kind() != K::Signal && e.kind() != K::Const && e.kind() != K::AlwaysTrue) {
        stack.push_back({&e.child(), f.offset, false});
      }
      continue;
    }
    stack.pop_back();
    Operand result;
    switch (e.kind()) {
      case K::Const:
        result = constant(cell_of(e.value()));
        break;
      case K::AlwaysTrue:
        result = constant(bits(1));
        break;
      case K::Signal: {
        Instr in{K::Signal, {}, {}};
        in.leaf = static_cast<std::uint32_t>(leaves_.size());
        leaves_.push_back(Leaf{e.signal_id(), f.offset});
        if (f.offset != 0) offsets_.push_back(f.offset);
        result = emit(in);
        break;
      }
      case K::RelEval: {
        const auto total = below(f.node, f.offset);
        if (!total) {
          result = constant(empty());
          break;
        }
        Instr in{K::RelEval, done.at(key_of(&e.child(), *total)), {}};
        in.offset = *total;
        offsets_.push_back(*total);
        result = emit(in);
        break;
      }
      default: {
        Instr in{e.kind(), done.at(key_of(&e.left(), f.offset)), {}};
        if (is_binary(e.kind())) in.b = done.at(key_of(&e.right(), f.offset));
        in.high = e.kind() == K::Slice ? e.high() : 0;
        in.low = e.kind() == K::Slice ? e.low() : 0;
        result = emit(in);
        break;
      }
    }
    done.insert(key, result);
  }
  root_ = done.at(key_of(&root, 0));
}

// Gives every instruction an output column, reusing the column of a value
// once its last reader has run, so that a long chain needs a few columns
// rather than one per node.
void Program::assign_slots() {
  const std::size_t n = code_.size();
  const auto reads_a = [](const Instr& in) { return in.kind != K::Signal && !in.a.constant; };
  const auto reads_b = [](const Instr& in) { return is_binary(in.kind) && !in.b.constant; };
  std::vector<std::size_t> last_use(n, 0);
  for (std::size_t k = 0; k < n; ++k) {
    if (reads_a(code_[k])) last_use[code_[k].a.index] = k;
    if (reads_b(code_[k])) last_use[code_[k].b.index] = k;
  }
  if (!root_.constant) last_use[root_.index] = n;  // the root is read after the run

  std::vector<std::uint32_t> slot_of(n, 0);
  std::vector<std::uint32_t> free_slots;
  std::uint32_t next_slot = 0;
  for (std::size_t k = 0; k < n; ++k) {
    Instr& in = code_[k];
    // The output takes a column that no operand of this instruction holds
    // (so that the column loops never write what they read); operands whose
    // last reader is this instruction free theirs afterwards (once, when both
    // operands are the same value).
    if (free_slots.empty()) {
      slot_of[k] = next_slot++;
    } else {
      slot_of[k] = free_slots.back();
      free_slots.pop_back();
    }
    in.out = slot_of[k];
    std::uint32_t freed = UINT32_MAX;
    const auto use = [&](Operand& o) {
      const std::uint32_t from = o.index;
      o.index = slot_of[from];
      if (last_use[from] != k || slot_of[from] == freed) return;
      freed = slot_of[from];
      free_slots.push_back(freed);
    };
    if (reads_a(in)) use(in.a);
    if (reads_b(in)) use(in.b);
  }
  if (!root_.constant) root_.index = slot_of[root_.index];
  slots_ = std::max<std::size_t>(next_slot, 1);
}

bool Program::in_range(std::size_t index, std::int64_t offset) const noexcept {
  if (index > static_cast<std::size_t>(INT64_MAX)) return false;
  const __int128 target = static_cast<__int128>(index) + offset;
  return target >= 0 && target <= static_cast<__int128>(max_index_);
}

void Program::op(const Instr& in, const std::size_t* idx, std::size_t k, Cell* cells, std::size_t block) const {
  // A constant operand is one cell read at every j (mask 0).
  const auto column = [&](const Operand& o, std::size_t& mask) -> const Cell* {
    mask = o.constant ? 0 : ~std::size_t{0};
    return o.constant ? &constants_[o.index] : cells + o.index * block;
  };
  std::size_t ma = 0, mb = 0;
  const Cell* a = column(in.a, ma);
  const Cell* b = is_binary(in.kind) ? column(in.b, mb) : nullptr;
  Cell* out = cells + in.out * block;

  const auto numeric = [&](auto fn) {
    for (std::size_t j = 0; j < k; ++j) {
      const Cell& x = a[j & ma];
      const Cell& y = b[j & mb];
      if (!x.ref && !y.ref) {
        out[j] = bits(fn(x.n, y.n));
        continue;
      }
      std::uint64_t p = 0, q = 0;
      out[j] = reading(x, p) && reading(y, q) ? bits(fn(p, q)) : empty();
    }
  };
  switch (in.kind) {
    case K::RelEval:
      for (std::size_t j = 0; j < k; ++j) out[j] = in_range(idx[j], in.offset) ? a[j & ma] : empty();
      return;
    case K::Not:
      for (std::size_t j = 0; j < k; ++j) out[j] = bits(flag(!truth(a[j & ma])));
      return;
    case K::And:
      for (std::size_t j = 0; j < k; ++j) out[j] = bits(flag(truth(a[j & ma]) && truth(b[j & mb])));
      return;
    case K::Or:
      for (std::size_t j = 0; j < k; ++j) out[j] = bits(flag(truth(a[j & ma]) || truth(b[j & mb])));
      return;
    case K::Eq:
    case K::Neq: {
      const bool negate = in.kind == K::Neq;
      for (std::size_t j = 0; j < k; ++j) {
        const Cell& x = a[j & ma];
        const Cell& y = b[j & mb];
        const bool equal = !x.ref && !y.ref ? x.n == y.n : loosely_equal(x, y);
        out[j] = bits(flag(equal != negate));
      }
      return;
    }
    case K::Gt:
      return numeric([](std::uint64_t x, std::uint64_t y) { return flag(x > y); });
    case K::Lt:
      return numeric([](std::uint64_t x, std::uint64_t y) { return flag(x < y); });
    case K::Gte:
      return numeric([](std::uint64_t x, std::uint64_t y) { return flag(x >= y); });
    case K::Lte:
      return numeric([](std::uint64_t x, std::uint64_t y) { return flag(x <= y); });
    case K::Add:
      return numeric([](std::uint64_t x, std::uint64_t y) { return x + y; });
    case K::Sub:
      return numeric([](std::uint64_t x, std::uint64_t y) { return x - y; });
    case K::BitAnd:
      return numeric([](std::uint64_t x, std::uint64_t y) { return x & y; });
    case K::BitOr:
      return numeric([](std::uint64_t x, std::uint64_t y) { return x | y; });
    case K::BitXor:
      return numeric([](std::uint64_t x, std::uint64_t y) { return x ^ y; });
    case K::Slice:
      for (std::size_t j = 0; j < k; ++j) {
        std::uint64_t n = 0;
        out[j] = reading(a[j & ma], n) ? bits(bit_slice(n, in.high, in.low)) : empty();
      }
      return;
    case K::Signed:
      for (std::size_t j = 0; j < k; ++j) {
        std::uint64_t n = 0;
        out[j] = reading(a[j & ma], n) ? bits(n) : empty();
      }
      return;
    case K::IsX:
      for (std::size_t j = 0; j < k; ++j) {
        const Cell& x = a[j & ma];
        out[j] = bits(flag(is_x(x)));
      }
      return;
    case K::IsZ:
      for (std::size_t j = 0; j < k; ++j) out[j] = bits(flag(has_level(a[j & ma], kLogicZ)));
      return;
    case K::Signal:
    case K::Const:
    case K::AlwaysTrue:
      return;  // leaves are read by run(); constants never become instructions
  }
}

// The column operators of run_dense. A value is (w, k): k all ones for Bits
// w, zero for Empty (w then ignored); its truth is k && w != 0, that is
// (w & k) != 0. Each operator gives exactly what op() gives on the same Bits
// and Empty cells. The loops run straight over the block without a branch on
// the values and never write a column they read, so that the compiler
// vectorises them; the 64-bit compares need AVX2 for that, hence a copy of
// the kernels compiled for it, picked at run time where the CPU has it.
// (Not by ifunc, as target_clones would: a resolver runs before the
// sanitizers' runtimes are ready and crashes their builds.)
namespace {

constexpr std::uint64_t kKnown = ~std::uint64_t{0};

struct DenseStep {
  K kind;
  std::size_t len;
  const std::uint64_t *aw, *ak, *bw, *bk;
  std::uint64_t *ow, *ok;
  std::size_t lo = 0, hi = 0;                              // RelEval: the j in range
  std::uint64_t negate = 0, shift = 0, mask = 0;           // Neq; Slice
  bool write_known = true;  // false when the result's mask is all ones
};

[[gnu::always_inline]] inline void dense_kernel_body(const DenseStep& d) {
  const std::size_t len = d.len;
  const std::uint64_t* __restrict aw = d.aw;
  const std::uint64_t* __restrict ak = d.ak;
  const std::uint64_t* __restrict bw = d.bw;
  const std::uint64_t* __restrict bk = d.bk;
  std::uint64_t* __restrict ow = d.ow;
  std::uint64_t* __restrict ok = d.ok;
#define VELK_DENSE_LOOP(W, KNOWN)                                \
  if (d.write_known) {                                           \
    for (std::size_t j = 0; j < len; ++j) {                      \
      ow[j] = (W);                                               \
      ok[j] = (KNOWN);                                           \
    }                                                            \
  } else {                                                       \
    for (std::size_t j = 0; j < len; ++j) ow[j] = (W);           \
  }                                                              \
  return
#define VELK_TRUE(W, KW) static_cast<std::uint64_t>(((W) & (KW)) != 0)
  switch (d.kind) {
    case K::RelEval: {
      const std::size_t lo = d.lo, hi = d.hi;
      VELK_DENSE_LOOP(aw[j], j >= lo && j < hi ? ak[j] : 0);
    }
    case K::Not:
      VELK_DENSE_LOOP(VELK_TRUE(aw[j], ak[j]) ^ 1, kKnown);
    case K::And:
      VELK_DENSE_LOOP(VELK_TRUE(aw[j], ak[j]) & VELK_TRUE(bw[j], bk[j]), kKnown);
    case K::Or:
      VELK_DENSE_LOOP(VELK_TRUE(aw[j], ak[j]) | VELK_TRUE(bw[j], bk[j]), kKnown);
    case K::Eq:
    case K::Neq: {
      // Equal: both Bits with equal words, or both Empty.
      const std::uint64_t negate = d.negate;
      VELK_DENSE_LOOP((static_cast<std::uint64_t>(((aw[j] ^ bw[j]) & ak[j] & bk[j]) == 0) &
                       static_cast<std::uint64_t>(ak[j] == bk[j])) ^ negate,
                      kKnown);
    }
    case K::Gt:
      VELK_DENSE_LOOP(static_cast<std::uint64_t>(aw[j] > bw[j]), ak[j] & bk[j]);
    case K::Lt:
      VELK_DENSE_LOOP(static_cast<std::uint64_t>(aw[j] < bw[j]), ak[j] & bk[j]);
    case K::Gte:
      VELK_DENSE_LOOP(static_cast<std::uint64_t>(aw[j] >= bw[j]), ak[j] & bk[j]);
    case K::Lte:
      VELK_DENSE_LOOP(static_cast<std::uint64_t>(aw[j] <= bw[j]), ak[j] & bk[j]);
    case K::Add:
      VELK_DENSE_LOOP(aw[j] + bw[j], ak[j] & bk[j]);
    case K::Sub:
      VELK_DENSE_LOOP(aw[j] - bw[j], ak[j] & bk[j]);
    case K::BitAnd:
      VELK_DENSE_LOOP(aw[j] & bw[j], ak[j] & bk[j]);
    case K::BitOr:
      VELK_DENSE_LOOP(aw[j] | bw[j], ak[j] & bk[j]);
    case K::BitXor:
      VELK_DENSE_LOOP(aw[j] ^ bw[j], ak[j] & bk[j]);
    case K::Slice: {
      const std::uint64_t shift = d.shift, mask = d.mask;
      VELK_DENSE_LOOP((aw[j] >> shift) & mask, ak[j]);
    }
    case K::Signed:
      VELK_DENSE_LOOP(aw[j], ak[j]);
    case K::IsX:  // Empty is X
      VELK_DENSE_LOOP(static_cast<std::uint64_t>(ak[j] == 0), kKnown);
    case K::IsZ:
      VELK_DENSE_LOOP(std::uint64_t{0}, kKnown);
    case K::Signal:
    case K::Const:
    case K::AlwaysTrue:
      return;
  }
#undef VELK_TRUE
#undef VELK_DENSE_LOOP
}

// The truth of n values as one byte each (0 or 1).
[[gnu::always_inline]] inline void truth_bytes_body(const std::uint64_t* __restrict word,
                                                    const std::uint64_t* __restrict known, std::size_t n,
                                                    std::uint8_t* __restrict out) {
  for (std::size_t j = 0; j < n; ++j) out[j] = static_cast<std::uint8_t>((word[j] & known[j]) != 0);
}

__attribute__((target("avx2"))) void dense_kernel_avx2(const DenseStep& d) { dense_kernel_body(d); }
void dense_kernel_plain(const DenseStep& d) { dense_kernel_body(d); }
__attribute__((target("avx2"))) void truth_bytes_avx2(const std::uint64_t* word, const std::uint64_t* known,
                                                      std::size_t n, std::uint8_t* out) {
  truth_bytes_body(word, known, n, out);
}
void truth_bytes_plain(const std::uint64_t* word, const std::uint64_t* known, std::size_t n, std::uint8_t* out) {
  truth_bytes_body(word, known, n, out);
}

bool has_avx2() {
  static const bool avx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return avx2;
}

void dense_kernel(const DenseStep& d) { has_avx2() ? dense_kernel_avx2(d) : dense_kernel_plain(d); }
void truth_bytes(const std::uint64_t* word, const std::uint64_t* known, std::size_t n, std::uint8_t* out) {
  has_avx2() ? truth_bytes_avx2(word, known, n, out) : truth_bytes_plain(word, known, n, out);
}

}  // namespace

void Program::dense_op(const Instr& in, std::size_t begin, std::size_t len, const DenseSpace& space) const {
  const std::size_t block = space.block;
  const std::uint64_t* ones = space.known + ones_column() * block;
  // A constant operand has a column of its own, or is spread over one of
  // the two spare columns. Returns whether the operand's mask is all ones.
  std::size_t spare = slots_ + dense_constants();
  const auto column = [&](const Operand& o, const std::uint64_t*& w, const std::uint64_t*& k) {
    if (!o.constant || o.index < dense_constants()) {
      const std::size_t c = o.constant ? slots_ + o.index : o.index;
      w = space.word + c * block;
      k = space.full[c] ? ones : space.known + c * block;
      return static_cast<bool>(space.full[c]);
    }
    std::uint64_t* cw = space.word + spare * block;
    std::uint64_t* ck = space.known + spare * block;
    ++spare;
    const Cell& v = constants_[o.index];
    const bool bits_value = v.ref == nullptr;
    std::fill_n(cw, len, bits_value ? v.n : 0);
    if (!bits_value) std::fill_n(ck, len, 0);
    w = cw;
    k = bits_value ? ones : ck;
    return bits_value;
  };
  DenseStep d{in.kind, len, nullptr, nullptr, nullptr, nullptr, space.word + in.out * block,
              space.known + in.out * block};
  const bool a_full = column(in.a, d.aw, d.ak);
  bool b_full = a_full;
  if (is_binary(in.kind)) {
    b_full = column(in.b, d.bw, d.bk);
  } else {
    d.bw = d.aw;
    d.bk = d.ak;
  }
  bool full = true;  // whether the result's mask is all ones
  switch (in.kind) {
    case K::RelEval: {
      // begin + j + offset inside 0 ..= max_index: one interval of j.
      const __int128 first = -static_cast<__int128>(in.offset) - static_cast<__int128>(begin);
      const __int128 last = static_cast<__int128>(max_index_) - in.offset - static_cast<__int128>(begin);
      const auto clip = [len](__int128 v) {
        return static_cast<std::size_t>(std::clamp<__int128>(v, 0, static_cast<__int128>(len)));
      };
      d.lo = clip(first);
      d.hi = clip(last + 1);
      full = a_full && d.lo == 0 && d.hi == len;
      break;
    }
    case K::Not:
    case K::And:
    case K::Or:
    case K::Eq:
    case K::IsX:
    case K::IsZ:
      break;
    case K::Neq:
      d.negate = 1;
      break;
    case K::Slice: {
      // bit_slice with its shift and mask worked out once.
      const std::uint64_t high = in.high, low = in.low;
      const std::uint64_t count = high - low + 1;
      d.shift = low % 64;
      d.mask = high < low                  ? 0
               : count != 0 && count < 64 ? (std::uint64_t{1} << count) - 1
                                          : kKnown;
      full = a_full;
      break;
    }
    case K::Signed:
      full = a_full;
      break;
    default:  // the numeric operators
      full = a_full && b_full;
      break;
  }
  d.write_known = !full;
  space.full[in.out] = full;
  dense_kernel(d);
}

void Program::prepare_dense(const DenseSpace& space) const {
  const std::size_t block = space.block;
  for (std::size_t c = 0; c < dense_constants(); ++c) {
    const Cell& v = constants_[c];
    const bool bits_value = v.ref == nullptr;
    std::fill_n(space.word + (slots_ + c) * block, block, bits_value ? v.n : 0);
    std::fill_n(space.known + (slots_ + c) * block, block, bits_value ? kKnown : 0);
    space.full[slots_ + c] = bits_value;
  }
  std::fill_n(space.known + ones_column() * block, block, kKnown);
}

void Program::dense_truth(std::size_t len, const std::uint64_t* word, const std::uint64_t* known,
                          std::uint64_t* truth) const {
  alignas(64) std::uint8_t bytes[64];
  for (std::size_t base = 0; base < len; base += 64) {
    const std::size_t n = std::min<std::size_t>(64, len - base);
    std::fill_n(bytes + n, 64 - n, 0);
    truth_bytes(word + base, known + base, n, bytes);
    std::uint64_t bits = 0;
    for (std::size_t g = 0; g < 8; ++g) {
      // Eight 0/1 bytes to eight bits: the multiply gathers byte b's low bit
      // into bit 56 + b.
      std::uint64_t eight;
      std::memcpy(&eight, bytes + g * 8, 8);
      bits |= ((eight * 0x0102040810204080ull) >> 56) << (g * 8);
    }
    truth[base / 64] = bits;
  }
}

}  // namespace velk::detail
