#include "eval/columns.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace velk {
namespace {

using Tag = SignalValue::Tag;

bool is_unknown(const SignalValue& v) { return v.tag() == Tag::Logic || v.tag() == Tag::Empty; }

std::uint64_t as_unsigned(const SignalValue& v) {
  switch (v.tag()) {
    case Tag::Bits: return v.as_bits();
    case Tag::WideBits: return v.words().empty() ? 0 : v.words()[0];
    default: return 0;
  }
}

double as_real(const SignalValue& v) {
  if (v.tag() == Tag::Real) return v.as_real();
  return static_cast<double>(as_unsigned(v));
}

// Calls push(i, value) for `start` and for every later index below `end` whose
// value differs (==) from the value pushed last; stops when push returns
// false. Walks the stored runs directly, so a quiet stretch costs one step and
// a busy signal one step per change; a NaN run differs from itself at every
// index and is pushed index by index.
template <class Push>
void visit_changes(const Trace& trace, std::uint32_t id, std::size_t start, std::size_t end, Push push) {
  SignalCursor values = trace.cursor(id);
  SignalValue previous;
  bool pushed = false;
  bool stopped = false;
  std::size_t nan_run = end;  // start of an open NaN run, `end` when none
  auto close_nan_run = [&](std::size_t run_end) {
    for (std::size_t j = nan_run + 1; j < run_end && !stopped; ++j) stopped = !push(j, previous);
    nan_run = end;
  };
  values.visit_runs(start, end, [&](std::size_t i, const SignalValue& v) {
    if (nan_run != end) close_nan_run(i);
    if (stopped || (pushed && v == previous)) return;
    if (!push(i, v)) {
      stopped = true;
      return;
    }
    previous = v;
    pushed = true;
    if (v.tag() == Tag::Real && std::isnan(v.as_real())) nan_run = i;
  });
  if (!stopped && nan_run != end) close_nan_run(end);
}

// The runs of a signal holding text: the values themselves are kept.
ChangeColumns text_changes(const Trace& trace, std::uint32_t id, std::size_t start, std::size_t end) {
  ChangeColumns out;
  out.kind = ChangeColumns::Kind::Text;
  visit_changes(trace, id, start, end, [&](std::size_t i, const SignalValue& v) {
    out.indices.push_back(i);
    out.text_values.push_back(v);
    out.unknown.push_back(is_unknown(v) ? 1 : 0);
    return true;
  });
  return out;
}

}  // namespace

ChangeColumns signal_changes(const Trace& trace, std::uint32_t id, std::size_t start, std::size_t end) {
  ChangeColumns out;
  end = std::min(end, trace.max_index() + 1);
  if (start >= end) return out;
  // One pass fills the unsigned column until a Real appears, then the real
  // column (the numbers so far widened once). Strings are rare, so a Str
  // restarts with a pass that keeps the values.
  // Reserving for every stored change (plus the run open at `start`) keeps the
  // columns from regrowing; a NaN run may still push more.
  const std::size_t expected = std::min(trace.cursor(id).stored_changes() + 1, end - start);
  out.indices.reserve(expected);
  out.unsigned_values.reserve(expected);
  out.unknown.reserve(expected);
  bool any_text = false;
  visit_changes(trace, id, start, end, [&](std::size_t i, const SignalValue& v) {
    if (v.tag() == Tag::Str) {
      any_text = true;
      return false;
    }
    if (v.tag() == Tag::Real && out.kind == ChangeColumns::Kind::Unsigned) {
      out.kind = ChangeColumns::Kind::Real;
      out.real_values.assign(out.unsigned_values.begin(), out.unsigned_values.end());
      out.unsigned_values = {};
    }
    out.indices.push_back(i);
    if (out.kind == ChangeColumns::Kind::Real) {
      out.real_values.push_back(as_real(v));
    } else {
      out.unsigned_values.push_back(as_unsigned(v));
    }
    out.unknown.push_back(is_unknown(v) ? 1 : 0);
    return true;
  });
  if (any_text) return text_changes(trace, id, start, end);
  return out;
}

ChangeColumns::Kind fill_dense_column(const Trace& trace, std::uint32_t id, std::size_t start, std::size_t end,
                                      std::span<std::uint64_t> words, std::span<std::uint8_t> unknown) {
  using Kind = ChangeColumns::Kind;
  Kind kind = Kind::Unsigned;
  std::size_t filled = 0;  // entries written so far
  std::uint64_t word = 0;  // the run being written
  std::uint8_t unknown_flag = 1;
  auto fill_to = [&](std::size_t stop) {
    for (; filled < stop; ++filled) {
      words[filled] = word;
      unknown[filled] = unknown_flag;
    }
  };
  trace.cursor(id).visit_runs(start, end, [&](std::size_t i, const SignalValue& v) {
    if (kind == Kind::Text) return;
    fill_to(i - start);
    if (v.tag() == Tag::Str) {
      kind = Kind::Text;
      return;
    }
    if (v.tag() == Tag::Real && kind == Kind::Unsigned) {
      kind = Kind::Real;
      for (std::size_t k = 0; k < filled; ++k) words[k] = std::bit_cast<std::uint64_t>(static_cast<double>(words[k]));
    }
    word = kind == Kind::Real ? std::bit_cast<std::uint64_t>(as_real(v)) : as_unsigned(v);
    unknown_flag = is_unknown(v) ? 1 : 0;
  });
  if (kind != Kind::Text) fill_to(end - start);
  return kind;
}

std::vector<std::uint64_t> all_timestamps(const Trace& trace) {
  const std::size_t count = trace.max_index() + 1;
  std::vector<std::uint64_t> times(count);
  for (std::size_t i = 0; i < count; ++i) times[i] = trace.timestamp(i);
  return times;
}

}  // namespace velk
