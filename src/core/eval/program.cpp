#include "eval/program.h"

#include <algorithm>
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
    // Operands whose last reader is this instruction free their column
    // first (once, when both operands are the same value): every operation
    // reads cell j before it writes cell j.
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
    if (free_slots.empty()) {
      slot_of[k] = next_slot++;
    } else {
      slot_of[k] = free_slots.back();
      free_slots.pop_back();
    }
    in.out = slot_of[k];
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

}  // namespace velk::detail
