// Helpers shared by the eval tests: small hand-built traces and seeded random
// traces and expression trees.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "eval/expr.h"
#include "model/signal_value.h"
#include "model/column_builder.h"
#include "model/loaded_trace.h"

namespace velk::testing {

inline SignalValue B(std::uint64_t v) { return SignalValue::bits(v); }
inline SignalValue R(double v) { return SignalValue::real(v); }
inline SignalValue S(std::string_view s) { return SignalValue::str(s); }
inline SignalValue L(std::vector<std::uint8_t> levels) { return SignalValue::logic(levels); }
inline SignalValue W(std::vector<std::uint64_t> words) { return SignalValue::wide_bits(words); }
inline SignalValue E() { return SignalValue(); }

// Equality that also treats two NaNs as the same (for comparing results).
inline bool same(const SignalValue& a, const SignalValue& b) {
  if (a.tag() == SignalValue::Tag::Real && b.tag() == SignalValue::Tag::Real) {
    return a.as_real() == b.as_real() || (std::isnan(a.as_real()) && std::isnan(b.as_real()));
  }
  return a == b;
}

// A trace with `indices` timestamps and no signals yet.
inline std::unique_ptr<LoadedTrace> empty_trace(std::size_t indices) {
  auto trace = std::make_unique<LoadedTrace>();
  for (std::size_t i = 0; i < indices; ++i) trace->timestamps.push_back(i * 10);
  return trace;
}

// Adds a signal with one value per index (no forward fill applied).
inline std::uint32_t add_column(LoadedTrace& trace, std::string name, const std::vector<SignalValue>& values) {
  const std::uint32_t id = *trace.add_signal(std::move(name), 8);
  trace.store.assign_column(id, values);
  return id;
}

// Values chosen so that equalities, numeric readings and truth values all
// occur often: small numbers, numeric texts, X/Z logic, NaN, empty payloads.
inline SignalValue random_value(std::mt19937_64& rng) {
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  switch (pick(8)) {
    case 0:
    case 1:
      return B(pick(6));
    case 2: {
      std::vector<std::uint8_t> levels(1 + pick(4));
      for (auto& l : levels) l = static_cast<std::uint8_t>(pick(4) < 3 ? pick(2) : 2 + pick(2));
      return L(levels);
    }
    case 3: {
      static const double reals[] = {0.0, 1.0, 5.0, 5.5, -1.5, 3.9, std::nan(""), 1e30};
      return R(reals[pick(8)]);
    }
    case 4: {
      static const char* texts[] = {"", "5", "05", "+3", "abc", "-1", "18446744073709551616", "0"};
      return S(texts[pick(8)]);
    }
    case 5: {
      static const std::vector<std::uint64_t> words[] = {{}, {0, 0}, {5, 1}, {3}, {0, 7}};
      return W(words[pick(5)]);
    }
    case 6:
      return B(rng());  // large values exercise wrapping arithmetic
    default:
      return E();
  }
}

// Signals 0 .. signals-1 with random values; about half the slots are set,
// then forward fill carries values on, as the readers do.
inline std::unique_ptr<LoadedTrace> random_trace(std::mt19937_64& rng, std::size_t indices, std::size_t signals) {
  auto trace = empty_trace(indices);
  ColumnBuilder columns;
  for (std::size_t s = 0; s < signals; ++s) {
    const std::uint32_t id = *trace->add_signal("top.s" + std::to_string(s), 8);
    for (std::size_t i = 0; i < indices; ++i) {
      if (rng() % 2 == 0) columns.record(id, i, random_value(rng));
    }
  }
  columns.build_into(trace->store, indices, ColumnBuilder::Fill::AfterChanges);
  return trace;
}

inline Expr random_expr(std::mt19937_64& rng, std::uint32_t signals, int depth) {
  using K = Expr::Kind;
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  if (depth == 0 || pick(4) == 0) {
    switch (pick(3)) {
      case 0:
        return Expr::constant(random_value(rng));
      case 1:
        return pick(10) == 0 ? Expr::always_true() : Expr::signal(static_cast<std::uint32_t>(pick(signals + 1)));
      default:
        return Expr::signal(static_cast<std::uint32_t>(pick(signals)));
    }
  }
  const auto kind = static_cast<K>(2 + pick(19));  // RelEval .. IsZ
  switch (kind) {
    case K::RelEval:
      return Expr::rel_eval(random_expr(rng, signals, depth - 1), static_cast<std::int64_t>(pick(7)) - 3);
    case K::Not:
    case K::Signed:
    case K::IsX:
    case K::IsZ:
      return Expr::unary(kind, random_expr(rng, signals, depth - 1));
    case K::Slice:
      return Expr::slice(static_cast<std::uint32_t>(pick(72)), static_cast<std::uint32_t>(pick(72)),
                         random_expr(rng, signals, depth - 1));
    default:
      return Expr::binary(kind, random_expr(rng, signals, depth - 1), random_expr(rng, signals, depth - 1));
  }
}

// A reference evaluator written rule by rule, without the engine's split
// into leaves and numeric operators: every node produces a full value.
inline SignalValue reference(const Trace& t, const Expr& e, std::size_t i) {
  using K = Expr::Kind;
  const auto b = [](bool x) { return SignalValue::bits(x ? 1 : 0); };
  const auto numeric2 = [&](auto op) -> SignalValue {
    const SignalValue l = reference(t, e.left(), i);
    const SignalValue r = reference(t, e.right(), i);
    if (!l.to_u64().has_value() || !r.to_u64().has_value()) return SignalValue();
    return op(l.to_u64().value(), r.to_u64().value());
  };
  const auto loose_eq = [&]() {
    const SignalValue l = reference(t, e.left(), i);
    const SignalValue r = reference(t, e.right(), i);
    if (l == r) return true;
    return l.to_u64().has_value() && r.to_u64().has_value() && l.to_u64().value() == r.to_u64().value();
  };
  const auto levels_contain = [](const SignalValue& v, std::uint8_t level) {
    if (v.tag() != SignalValue::Tag::Logic) return false;
    for (std::uint8_t x : v.levels()) {
      if (x == level) return true;
    }
    return false;
  };
  switch (e.kind()) {
    case K::Signal: return t.signal_value_by_id(e.signal_id(), i);
    case K::Const: return e.value();
    case K::RelEval: {
      const __int128 target = static_cast<__int128>(i) + e.offset();
      if (target < 0 || target > static_cast<__int128>(t.max_index())) return SignalValue();
      return reference(t, e.child(), static_cast<std::size_t>(target));
    }
    case K::Not: return b(!truth_value(reference(t, e.child(), i)));
    case K::And: {
      const bool l = truth_value(reference(t, e.left(), i));
      const bool r = truth_value(reference(t, e.right(), i));
      return b(l && r);
    }
    case K::Or: {
      const bool l = truth_value(reference(t, e.left(), i));
      const bool r = truth_value(reference(t, e.right(), i));
      return b(l || r);
    }
    case K::Eq: return b(loose_eq());
    case K::Neq: return b(!loose_eq());
    case K::Gt: return numeric2([&](std::uint64_t x, std::uint64_t y) { return b(x > y); });
    case K::Lt: return numeric2([&](std::uint64_t x, std::uint64_t y) { return b(x < y); });
    case K::Gte: return numeric2([&](std::uint64_t x, std::uint64_t y) { return b(x >= y); });
    case K::Lte: return numeric2([&](std::uint64_t x, std::uint64_t y) { return b(x <= y); });
    case K::Add: return numeric2([](std::uint64_t x, std::uint64_t y) { return SignalValue::bits(x + y); });
    case K::Sub: return numeric2([](std::uint64_t x, std::uint64_t y) { return SignalValue::bits(x - y); });
    case K::BitAnd: return numeric2([](std::uint64_t x, std::uint64_t y) { return SignalValue::bits(x & y); });
    case K::BitOr: return numeric2([](std::uint64_t x, std::uint64_t y) { return SignalValue::bits(x | y); });
    case K::BitXor: return numeric2([](std::uint64_t x, std::uint64_t y) { return SignalValue::bits(x ^ y); });
    case K::Slice: {
      const auto n = reference(t, e.child(), i).to_u64();
      if (!n) return SignalValue();
      if (e.high() < e.low()) return SignalValue::bits(0);
      // Bit by bit: bit k of the result is bit (low % 64 + k) of n.
      const std::uint64_t count = std::uint64_t{e.high()} - e.low() + 1;
      std::uint64_t out = 0;
      for (std::uint64_t k = 0; k < 64 && k < count; ++k) {
        const std::uint64_t src = e.low() % 64 + k;
        if (src < 64 && ((*n >> src) & 1)) out |= std::uint64_t{1} << k;
      }
      return SignalValue::bits(out);
    }
    case K::Signed: {
      const auto n = reference(t, e.child(), i).to_u64();
      return n ? SignalValue::bits(*n) : SignalValue();
    }
    case K::IsX: {
      const SignalValue v = reference(t, e.child(), i);
      return b(v.is_empty() || levels_contain(v, 2));
    }
    case K::IsZ: return b(levels_contain(reference(t, e.child(), i), 3));
    case K::AlwaysTrue: return SignalValue::bits(1);
  }
  return SignalValue();
}

// The sanitizers' own allocators are not fork-safe while other threads
// allocate (the child can wait forever on an allocator lock copied held), so
// a test that forks while the worker pool may still be busy runs in the
// plain build only.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kForkSafeAllocator = false;
#else
inline constexpr bool kForkSafeAllocator = true;
#endif

// Runs `body` in a forked child and returns its exit status (0 on success);
// a child that hangs is killed by an alarm and reported as failure.
inline int run_in_child(const std::function<bool()>& body, unsigned timeout_seconds = 60) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    alarm(timeout_seconds);
    _exit(body() ? 0 : 1);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace velk::testing
