#include <gtest/gtest.h>

#include <random>

#include "model/column_builder.h"

namespace velk {
namespace {

SignalValue random_value(std::mt19937& rng) {
  switch (rng() % 4) {
    case 0: return SignalValue();
    case 1: {
      const std::uint8_t levels[] = {1, static_cast<std::uint8_t>(rng() % 4)};
      return SignalValue::logic(levels);
    }
    default: return SignalValue::bits(rng() % 3);
  }
}

struct Write {
  std::uint32_t id;
  std::size_t index;
  SignalValue value;
};

// The builder against the store used step by step, for both fill orders:
// fill as each index opens (then set its changes), or set everything and
// fill every index at the end.
TEST(ColumnBuilder, MatchesStepwiseStoreOnRandomWrites) {
  std::mt19937 rng(3);
  for (int round = 0; round < 200; ++round) {
    const std::size_t indices = rng() % 30;
    std::vector<Write> writes;
    for (int k = 0, n = static_cast<int>(rng() % 60); k < n; ++k) {
      writes.push_back({static_cast<std::uint32_t>(rng() % 5), rng() % (indices + 3), random_value(rng)});
    }

    // Fill as each index opens: writes must come in index order for this reader kind.
    std::stable_sort(writes.begin(), writes.end(), [](const Write& a, const Write& b) { return a.index < b.index; });
    SignalStore stepwise;
    ColumnBuilder before;
    std::size_t opened = 0;
    for (const Write& w : writes) {
      while (opened < w.index && opened + 1 < indices) stepwise.forward_fill(++opened);
      stepwise.set(w.id, w.index, w.value);
      before.record(w.id, w.index, w.value);
    }
    while (opened + 1 < indices) stepwise.forward_fill(++opened);
    SignalStore built;
    before.build_into(built, indices, ColumnBuilder::Fill::BeforeChanges);

    // Set everything in a shuffled order, then fill.
    std::shuffle(writes.begin(), writes.end(), rng);
    std::stable_sort(writes.begin(), writes.end(), [](const Write& a, const Write& b) { return a.index < b.index; });
    SignalStore at_end;
    ColumnBuilder after;
    for (const Write& w : writes) {
      at_end.set(w.id, w.index, w.value);
      after.record(w.id, w.index, w.value);
    }
    for (std::size_t i = 1; i < indices; ++i) at_end.forward_fill(i);
    SignalStore built_after;
    after.build_into(built_after, indices, ColumnBuilder::Fill::AfterChanges);

    for (std::uint32_t id = 0; id < 6; ++id) {
      for (std::size_t i = 0; i < indices + 4; ++i) {
        ASSERT_EQ(stepwise.get(id, i), built.get(id, i)) << round << " id " << id << " @" << i;
        ASSERT_EQ(at_end.get(id, i), built_after.get(id, i)) << round << " id " << id << " @" << i;
      }
    }
  }
}

TEST(ColumnBuilder, OutOfOrderRecordsKeepTheLastWrite) {
  ColumnBuilder b;
  b.record(0, 5, SignalValue::bits(5));
  b.record(0, 2, SignalValue::bits(2));
  b.record(0, 5, SignalValue::bits(6));
  b.record(0, 2, SignalValue::bits(3));
  SignalStore store;
  b.build_into(store, 7, ColumnBuilder::Fill::AfterChanges);
  EXPECT_TRUE(store.get(0, 1).is_empty());
  EXPECT_EQ(store.get(0, 2), SignalValue::bits(3));
  EXPECT_EQ(store.get(0, 4), SignalValue::bits(3));
  EXPECT_EQ(store.get(0, 5), SignalValue::bits(6));
  EXPECT_EQ(store.get(0, 6), SignalValue::bits(6));
  EXPECT_TRUE(store.get(0, 7).is_empty());
}

}  // namespace
}  // namespace velk
