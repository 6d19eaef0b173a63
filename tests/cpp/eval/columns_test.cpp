// Column exports: the run-length form of a signal and the timestamps, checked
// against the per-index accessors on values of every kind.
#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <random>

#include "eval/columns.h"
#include "model/loaded_trace.h"

namespace velk {
namespace {

LoadedTrace trace_of(const std::vector<std::vector<SignalValue>>& columns) {
  LoadedTrace trace;
  const std::size_t length = columns.empty() ? 1 : columns[0].size();
  for (std::size_t i = 0; i < length; ++i) trace.timestamps.push_back(10 * i + 3);
  for (std::size_t s = 0; s < columns.size(); ++s) {
    const auto id = trace.add_signal("top.s" + std::to_string(s), 8);
    trace.store.assign_column(*id, columns[s]);
  }
  return trace;
}

// Expands the runs back into one value per index, as the accessors give them.
std::vector<SignalValue> expand(const ChangeColumns& c, std::size_t end) {
  std::vector<SignalValue> out;
  for (std::size_t k = 0; k < c.indices.size(); ++k) {
    const std::size_t stop = k + 1 < c.indices.size() ? c.indices[k + 1] : end;
    for (std::size_t i = c.indices[k]; i < stop; ++i) {
      if (c.unknown[k]) out.push_back(SignalValue::empty());
      else if (c.kind == ChangeColumns::Kind::Unsigned) out.push_back(SignalValue::bits(c.unsigned_values[k]));
      else if (c.kind == ChangeColumns::Kind::Real) out.push_back(SignalValue::real(c.real_values[k]));
      else out.push_back(c.text_values[k]);
    }
  }
  return out;
}

SignalValue reading(const SignalValue& v) {
  if (v.tag() == SignalValue::Tag::Logic) return SignalValue::empty();
  if (v.tag() == SignalValue::Tag::WideBits) return SignalValue::bits(v.words().empty() ? 0 : v.words()[0]);
  return v;
}

TEST(ColumnsTest, RunsExpandToTheAccessorsOnRandomColumns) {
  std::mt19937 rng(7);
  const std::uint8_t x[] = {kLogicX};
  const std::uint64_t wide[] = {9, 4};
  for (int round = 0; round < 200; ++round) {
    std::vector<SignalValue> pool = {SignalValue::bits(1), SignalValue::bits(2), SignalValue::empty(),
                                     SignalValue::logic(x), SignalValue::wide_bits(wide)};
    if (round % 3 == 1) pool.push_back(SignalValue::real(2.5));
    if (round % 3 == 2) pool.push_back(SignalValue::str("go"));
    std::vector<SignalValue> column(1 + rng() % 40);
    for (auto& v : column) v = pool[rng() % pool.size()];
    const LoadedTrace trace = trace_of({column});
    const std::size_t start = rng() % column.size();
    const std::size_t end = start + rng() % (column.size() + 3 - start);
    const ChangeColumns c = signal_changes(trace, 0, start, end);
    const std::size_t stop = std::min(end, column.size());
    const auto expanded = expand(c, stop);
    ASSERT_EQ(expanded.size(), stop > start ? stop - start : 0);
    for (std::size_t i = start; i < stop; ++i) {
      SignalValue want = reading(column[i]);
      if (c.kind == ChangeColumns::Kind::Real && want.tag() == SignalValue::Tag::Bits) {
        want = SignalValue::real(static_cast<double>(want.as_bits()));
      }
      if (c.kind == ChangeColumns::Kind::Text && want.tag() != SignalValue::Tag::Empty) {
        want = column[i];  // text keeps the values themselves
      }
      EXPECT_EQ(expanded[i - start], want) << "round " << round << " index " << i;
    }
    for (std::size_t k = 1; k < c.indices.size(); ++k) {
      EXPECT_FALSE(column[c.indices[k]] == column[c.indices[k] - 1]);  // a run starts only at a change
    }
  }
}

// The dense column is the run-length form expanded, kind included, on random
// columns of every kind (Real first seen mid-range widens what came before).
TEST(ColumnsTest, DenseColumnIsTheRunsExpanded) {
  std::mt19937 rng(11);
  const std::uint8_t x[] = {kLogicZ};
  const std::uint64_t wide[] = {5, 1};
  for (int round = 0; round < 300; ++round) {
    std::vector<SignalValue> pool = {SignalValue::bits(3), SignalValue::bits(~0ull), SignalValue::empty(),
                                     SignalValue::logic(x), SignalValue::wide_bits(wide)};
    if (round % 3 == 1) pool.push_back(SignalValue::real(-1.5));
    if (round % 5 == 2) pool.push_back(SignalValue::str("s"));
    std::vector<SignalValue> column(1 + rng() % 60);
    const std::size_t run = 1 + rng() % 8;  // busy and quiet stretches both
    for (std::size_t i = 0; i < column.size(); ++i) column[i] = i % run == 0 ? pool[rng() % pool.size()] : column[i - 1];
    const LoadedTrace trace = trace_of({column});
    const std::size_t start = rng() % column.size();
    const std::size_t end = start + rng() % (column.size() + 1 - start);
    std::vector<std::uint64_t> words(end - start, 0xdead);
    std::vector<std::uint8_t> unknown(end - start, 7);
    const auto kind = fill_dense_column(trace, 0, start, end, words, unknown);
    const ChangeColumns runs = signal_changes(trace, 0, start, end);
    if (end == start) continue;
    ASSERT_EQ(kind, runs.kind) << "round " << round;
    if (kind == ChangeColumns::Kind::Text) continue;
    std::size_t k = 0;
    for (std::size_t i = start; i < end; ++i) {
      while (k + 1 < runs.indices.size() && runs.indices[k + 1] <= i) ++k;
      const std::uint64_t want = kind == ChangeColumns::Kind::Real ? std::bit_cast<std::uint64_t>(runs.real_values[k])
                                                                   : runs.unsigned_values[k];
      ASSERT_EQ(words[i - start], want) << "round " << round << " index " << i;
      ASSERT_EQ(unknown[i - start], runs.unknown[k]) << "round " << round << " index " << i;
    }
  }
}

// The store keeps a NaN run as one run and 0.0 / -0.0 as two; the export
// follows ==, so a NaN changes at every index and a signed zero does not.
TEST(ColumnsTest, NaNRunsChangeAtEveryIndexAndSignedZerosDoNot) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const LoadedTrace trace = trace_of({{SignalValue::real(nan), SignalValue::real(nan), SignalValue::real(nan),
                                       SignalValue::real(0.0), SignalValue::real(-0.0), SignalValue::bits(1),
                                       SignalValue::real(nan), SignalValue::real(nan)}});
  const ChangeColumns c = signal_changes(trace, 0, 1, 8);
  EXPECT_EQ(c.indices, (std::vector<std::size_t>{1, 2, 3, 5, 6, 7}));
  EXPECT_EQ(c.kind, ChangeColumns::Kind::Real);
}

TEST(ColumnsTest, KindsUnknownIdsAndTimestamps) {
  const LoadedTrace trace = trace_of({{SignalValue::empty(), SignalValue::real(1.5), SignalValue::bits(2)}});
  const ChangeColumns c = signal_changes(trace, 0, 0, 100);
  EXPECT_EQ(c.kind, ChangeColumns::Kind::Real);
  EXPECT_EQ(c.indices, (std::vector<std::uint64_t>{0, 1, 2}));
  EXPECT_EQ(c.real_values, (std::vector<double>{0.0, 1.5, 2.0}));
  EXPECT_EQ(c.unknown, (std::vector<std::uint8_t>{1, 0, 0}));
  const ChangeColumns none = signal_changes(trace, 42, 0, 3);  // no such id: unknown throughout
  EXPECT_EQ(none.indices, (std::vector<std::uint64_t>{0}));
  EXPECT_EQ(none.unknown, (std::vector<std::uint8_t>{1}));
  EXPECT_TRUE(signal_changes(trace, 0, 2, 2).indices.empty());
  EXPECT_TRUE(signal_changes(trace, 0, 9, 20).indices.empty());
  EXPECT_EQ(all_timestamps(trace), (std::vector<std::uint64_t>{3, 13, 23}));
}

}  // namespace
}  // namespace velk
