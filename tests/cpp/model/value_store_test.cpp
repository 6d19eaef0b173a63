#include <gtest/gtest.h>

#include <bit>
#include <random>

#include "model/column_builder.h"
#include "model/dense_reference.h"
#include "model/value_store.h"

namespace velk {
namespace {

SignalValue B(std::uint64_t v) { return SignalValue::bits(v); }
SignalValue L(std::vector<std::uint8_t> levels) { return SignalValue::logic(levels); }

std::vector<SignalValue> random_column(std::mt19937& rng, std::size_t length) {
  std::vector<SignalValue> column;
  for (std::size_t i = 0; i < length; ++i) {
    if (!column.empty() && rng() % 3) {
      column.push_back(column.back());
      continue;
    }
    switch (rng() % 4) {
      case 0: column.emplace_back(); break;
      case 1: column.push_back(L({static_cast<std::uint8_t>(rng() % 4), 1})); break;
      default: column.push_back(B(rng() % 4)); break;
    }
  }
  return column;
}

TEST(ValueStore, UnknownIdsAndEmptyStoreReadEmpty) {
  const ValueStore store;
  EXPECT_TRUE(store.get(0, 0).is_empty());
  EXPECT_EQ(store.get_range(4, 2, 5).size(), 3u);
  EXPECT_TRUE(store.get_range(4, 5, 2).empty());
  SignalCursor c = store.cursor(9);
  EXPECT_TRUE(c.at(123).is_empty());
  EXPECT_EQ(c.next_change(), SignalCursor::kNever);
  EXPECT_EQ(store.change_count(9), 0u);
}

TEST(ValueStore, AssignColumnReadsBackSlotBySlot) {
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    // The last round's column runs over several blocks of 65,536 indices.
    const auto column = random_column(rng, round == 299 ? 200'000 : rng() % 40);
    ValueStore store;
    store.assign_column(2, column);
    const auto range = store.get_range(2, 0, column.size() + 3);
    for (std::size_t i = 0; i < column.size() + 3; ++i) {
      const SignalValue expected = i < column.size() ? column[i] : SignalValue();
      ASSERT_EQ(store.get(2, i), expected) << round << " @" << i;
      ASSERT_EQ(range[i], expected);
    }
  }
}

// Cursor reads in any order (forward steps, jumps both ways, repeats) agree
// with the reference, and the run bounds it reports hold the value it gave.
TEST(ValueStore, CursorAgreesWithDenseColumnInAnyReadOrder) {
  std::mt19937 rng(12);
  for (int round = 0; round < 300; ++round) {
    const std::size_t length = rng() % 200;
    const auto column = random_column(rng, length);
    ValueStore store;
    store.assign_column(0, column);
    reference::DenseStore dense;
    dense.assign_column(0, column);
    SignalCursor c = store.cursor(0);
    std::size_t i = 0;
    for (int step = 0; step < 400; ++step) {
      switch (rng() % 4) {
        case 0: i = rng() % (length + 5); break;
        case 1: i = c.next_change() == SignalCursor::kNever ? i : c.next_change(); break;
        default: ++i; break;
      }
      const SignalValue& v = c.at(i);
      ASSERT_EQ(v, dense.at(0, i)) << round << " @" << i;
      ASSERT_LE(c.run_start(), i);
      ASSERT_GT(c.next_change(), i);
      ASSERT_EQ(dense.at(0, c.run_start()), v);
      const std::size_t end = std::min<std::size_t>(c.next_change(), length + 5);
      for (std::size_t j = c.run_start(); j < end; ++j) ASSERT_EQ(dense.at(0, j), v) << j;
      if (c.next_change() != SignalCursor::kNever) {
        ASSERT_NE(dense.at(0, c.next_change()), v);
      }
    }
  }
}

TEST(ValueStore, ForEachRunVisitsTheRangeStartAndEveryChange) {
  ValueStore store;
  store.assign_column(0, std::vector<SignalValue>{B(1), B(1), B(2), B(2), B(2), B(3)});
  std::vector<std::pair<std::size_t, std::uint64_t>> runs;
  for_each_run(store.cursor(0), 1, 6, [&](std::size_t i, const SignalValue& v) { runs.emplace_back(i, v.as_bits()); });
  const std::vector<std::pair<std::size_t, std::uint64_t>> expected = {{1, 1}, {2, 2}, {5, 3}};
  EXPECT_EQ(runs, expected);
  int calls = 0;
  for_each_run(store.cursor(0), 4, 4, [&](std::size_t, const SignalValue&) { ++calls; });
  for_each_run(store.cursor(7), 0, 3, [&](std::size_t, const SignalValue& v) { calls += v.is_empty() ? 10 : 100; });
  EXPECT_EQ(calls, 10);
}

// A value that repeats all along a long range is stored once; four-state
// values are pooled, so a signal toggling between two of them costs no more
// than one holding plain bits.
TEST(ValueStore, StorageFollowsChangesNotIndices) {
  ColumnBuilder b;
  const std::size_t indices = 1'000'000;
  for (std::size_t i = 0; i < indices; i += 1000) {
    b.record(0, i, B(i % 7));
    b.record(1, i, (i / 1000) % 2 ? L({1, 2}) : L({2, 1}));
  }
  b.record(2, 5, B(1));
  ValueStore store;
  b.build_into(store, indices, ColumnBuilder::Fill::BeforeChanges);
  // The value and the end of the column at the last index.
  EXPECT_EQ(store.change_count(2), 2u);
  EXPECT_EQ(store.change_count(1), 1001u);
  EXPECT_LT(store.bytes_used(), 3 * 1000 * 13 + 1000);
  EXPECT_EQ(store.get(1, 1500), L({1, 2}));
  EXPECT_EQ(store.get(2, indices - 1), B(1));
  EXPECT_TRUE(store.get(2, indices).is_empty());
}

// A column of plain bits ends (Empty from the last index on) without a tag
// per change: it keeps an index and a payload byte per change here, and
// every way of reading sees the end.
TEST(ValueStore, PlainBitsEndWithoutATagPerChange) {
  const std::size_t n = 10'000;
  ValueAppender a(FillOrder::BeforeChanges);
  for (std::size_t i = 0; i < n; ++i) a.append_bits(0, i, i % 200);
  const ValueStore store = a.finish(n);
  EXPECT_EQ(store.change_count(0), n + 1);
  EXPECT_LT(store.bytes_used(), (n + 1) * 11 / 2);  // under 5.5 bytes per change, not 6
  SignalCursor c = store.cursor(0);
  EXPECT_EQ(c.at(n - 1), B((n - 1) % 200));
  EXPECT_TRUE(c.at(n).is_empty());
  EXPECT_EQ(c.next_change(), SignalCursor::kNever);

  // Block reads across the end: one with a change at every index (the
  // copying path must not take the end for bits), one with runs to fill.
  for (const std::size_t lo : {n - 3, n - 5}) {
    std::uint64_t word[8], known[8];
    bool all_bits = true;
    SignalCursor d = store.cursor(0);
    const std::size_t hi = n + 1 + (n - 3 - lo);
    ASSERT_EQ(d.read_words(lo, hi, word, known, all_bits), n - lo + 1) << lo;  // a run per value, then the end
    EXPECT_FALSE(all_bits);
    for (std::size_t j = 0; j < hi - lo; ++j) {
      const bool past = lo + j >= n;
      EXPECT_EQ(known[j], past ? 0 : ~std::uint64_t{0}) << lo << " +" << j;
      EXPECT_EQ(word[j], past ? 0 : (lo + j) % 200) << lo << " +" << j;
    }
  }
  std::vector<std::pair<std::size_t, bool>> runs;
  store.cursor(0).visit_runs(n - 2, n + 3, [&](std::size_t i, const SignalValue& v) { runs.emplace_back(i, v.is_empty()); });
  const std::vector<std::pair<std::size_t, bool>> expected = {{n - 2, false}, {n - 1, false}, {n, true}};
  EXPECT_EQ(runs, expected);
}

// Indices are kept in blocks of 65,536. A store whose indices are spread
// over many blocks (index f(i) for i, f strictly increasing) must read
// exactly like the same records at indices 0, 1, 2, ... in one block: the
// value over [f(i), f(i + 1)) is the value at i, runs start and end at f of
// where they did, and every way of reading agrees. The spreads put changes
// on both sides of block edges, one per block, many per block, and in the
// last block below UINT32_MAX.
TEST(ValueStore, IndicesAcrossBlocksReadLikeIndicesInOne) {
  using Record = ValueAppender::InlineRecord;
  using Tag = SignalValue::Tag;
  std::mt19937 rng(31);
  const std::size_t strides[] = {1, 7, 9973, 32768, 65535, 65536, 65537, 196613};
  const std::size_t offsets[] = {0, 65530, 131070};
  for (int round = 0; round < 1500; ++round) {
    const std::size_t indices = 1 + rng() % 60;
    const std::size_t stride = strides[rng() % 8];
    const std::size_t offset = round % 10 == 9 ? (std::size_t{UINT16_MAX} << 16) - 5 : offsets[rng() % 3];
    const auto f = [&](std::size_t i) { return i == 0 ? 0 : offset + i * (round % 10 == 9 ? 1 : stride); };
    const auto fill = rng() % 2 ? FillOrder::BeforeChanges : FillOrder::AfterChanges;
    ValueAppender near(fill), far(fill);
    for (std::uint32_t id = 0; id < 3; ++id) {
      // Ascending indices with repeats, values of the inline kinds and
      // pooled ones, appended in batches or one by one.
      std::vector<Record> records;
      std::vector<SignalValue> pooled;
      for (std::size_t i = rng() % 3; i < indices; i += rng() % 3) {
        switch (rng() % 5) {
          case 0: records.push_back({i, Tag::Empty, 0}); break;
          case 1: records.push_back({i, Tag::Bits, rng() % 2 ? rng() % 3 : std::uint64_t{rng()} << 20}); break;
          case 2: records.push_back({i, Tag::Real, std::bit_cast<std::uint64_t>(rng() % 2 ? 1.5 : -0.0)}); break;
          case 3: {
            const std::uint8_t level = static_cast<std::uint8_t>(2 + rng() % 2);
            pooled.push_back(SignalValue::logic({&level, 1}));
            records.push_back({i, Tag::Logic, pooled.size() - 1});
            break;
          }
          default: records.push_back({i, Tag::Bits, rng() % 4}); break;
        }
        if (rng() % 4 == 0) i += 1;
      }
      const bool batched = rng() % 2;
      for (ValueAppender* a : {&near, &far}) {
        const auto record = [&, a](std::size_t k) {
          Record r = records[k];
          if (a == &far) r.index = f(r.index);
          if (r.tag == Tag::Logic) r.word = a->pool_slot(pooled[r.word]);
          return r;
        };
        if (batched) {
          ASSERT_TRUE(a->append_batch(id, records.size(), record));
        } else {
          for (std::size_t k = 0; k < records.size(); ++k) {
            const Record r = record(k);
            ASSERT_TRUE(a->append_inline(id, r.index, r.tag, r.word));
          }
        }
      }
    }
    const ValueStore one = near.finish(indices), many = far.finish(f(indices));
    const auto f_or_never = [&](std::size_t i) { return i == SignalCursor::kNever ? i : f(i); };
    for (std::uint32_t id = 0; id < 3; ++id) {
      ASSERT_EQ(one.change_count(id), many.change_count(id)) << round;
      SignalCursor a = one.cursor(id), b = many.cursor(id);
      for (std::size_t i = 0; i <= indices; ++i) {
        const std::size_t last = i == indices ? f(i) + 3 : f(i + 1) - 1;
        for (const std::size_t j : {f(i), f(i) + (last - f(i)) / 2, last}) {
          const SignalValue& expected = a.at(i);
          ASSERT_EQ(b.at(j), expected) << round << " id " << id << " @" << i << " -> " << j;
          ASSERT_EQ(many.get(id, j), expected) << round;
          ASSERT_EQ(b.run_start(), f(a.run_start())) << round << " id " << id << " @" << i;
          ASSERT_EQ(b.next_change(), f_or_never(a.next_change())) << round << " id " << id << " @" << i;
          ASSERT_EQ(b.changes_before(j), a.changes_before(j > f(i) ? i + 1 : i)) << round;
        }
      }
      // Runs visited over a range are the same runs at the spread indices.
      const std::size_t lo = rng() % (indices + 1), hi = lo + rng() % (indices + 2 - lo);
      std::vector<std::pair<std::size_t, SignalValue>> runs_one, runs_many;
      one.cursor(id).visit_runs(lo, hi, [&](std::size_t i, const SignalValue& v) { runs_one.emplace_back(f(i), v); });
      many.cursor(id).visit_runs(f(lo), f(hi), [&](std::size_t i, const SignalValue& v) { runs_many.emplace_back(i, v); });
      ASSERT_EQ(runs_many, runs_one) << round << " id " << id;
      // A block read across a block edge, against the values one at a time.
      const std::size_t from = f(lo) >= 4 ? f(lo) - 4 : 0;
      std::uint64_t word[9], known[9];
      bool all_bits = false;
      SignalCursor c = many.cursor(id);
      if (c.read_words(from, from + 9, word, known, all_bits) == SignalCursor::kNever) continue;
      for (std::size_t j = 0; j < 9; ++j) {
        const SignalValue v = many.get(id, from + j);
        ASSERT_EQ(known[j] != 0 || all_bits, !v.is_empty()) << round << " +" << j;
        ASSERT_EQ(word[j], v.is_empty() ? 0 : v.as_bits()) << round << " +" << j;
      }
    }
  }
}

}  // namespace
}  // namespace velk
