#include <gtest/gtest.h>

#include <map>
#include <random>

#include "model/signal_store.h"

namespace velk {
namespace {

TEST(SignalStore, SetGrowsWithEmptySlots) {
  SignalStore store;
  store.set(7, 3, SignalValue::bits(9));
  for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(store.get(7, i).is_empty());
  EXPECT_EQ(store.get(7, 3), SignalValue::bits(9));
  EXPECT_TRUE(store.get(7, 4).is_empty());
  EXPECT_TRUE(store.get(8, 0).is_empty());
}

TEST(SignalStore, GetRange) {
  SignalStore store;
  store.set(1, 3, SignalValue::bits(1));
  EXPECT_EQ(store.get_range(2, 2, 5).size(), 3u);
  EXPECT_TRUE(store.get_range(1, 5, 2).empty());
  EXPECT_TRUE(store.get_range(2, 5, 2).empty());
  const auto r = store.get_range(1, 2, 6);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_TRUE(r[0].is_empty());
  EXPECT_EQ(r[1], SignalValue::bits(1));
  EXPECT_TRUE(r[2].is_empty() && r[3].is_empty());
}

TEST(SignalStore, ForwardFill) {
  SignalStore store;
  store.forward_fill(0);
  store.set(1, 0, SignalValue::bits(1));
  store.forward_fill(1);
  EXPECT_EQ(store.get(1, 1), SignalValue::bits(1));
  store.set(2, 0, SignalValue::bits(1));
  store.set(2, 1, SignalValue::bits(0));
  store.forward_fill(1);
  EXPECT_EQ(store.get(2, 1), SignalValue::bits(0));
  // An explicit Empty at the index is filled; an Empty before it is not carried.
  store.set(3, 0, SignalValue::bits(4));
  store.set(3, 1, SignalValue());
  store.forward_fill(1);
  EXPECT_EQ(store.get(3, 1), SignalValue::bits(4));
  store.set(4, 1, SignalValue());
  store.forward_fill(2);
  EXPECT_TRUE(store.get(4, 2).is_empty());
}

// The store against a map of (id, index) -> value, with the fill rule spelled out.
TEST(SignalStore, MatchesSparseModelOnRandomOperations) {
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    SignalStore store;
    std::map<std::pair<std::uint32_t, std::size_t>, std::uint64_t> model;  // absent = Empty
    std::map<std::uint32_t, std::size_t> lengths;
    for (int op = 0; op < 300; ++op) {
      const std::uint32_t id = rng() % 6;
      const std::size_t index = rng() % 20;
      if (rng() % 3) {
        const bool empty = rng() % 5 == 0;
        store.set(id, index, empty ? SignalValue() : SignalValue::bits(rng() % 4));
        if (empty) {
          model.erase({id, index});
        } else {
          model[{id, index}] = store.get(id, index).as_bits();
        }
        lengths[id] = std::max(lengths[id], index + 1);
      } else if (index > 0) {
        store.forward_fill(index);
        for (auto& [sid, len] : lengths) {
          const auto prev = model.find({sid, index - 1});
          if (len < index || prev == model.end()) continue;
          if (!model.contains({sid, index})) model[{sid, index}] = prev->second;
          len = std::max(len, index + 1);
        }
      }
    }
    for (std::uint32_t id = 0; id < 7; ++id) {
      for (std::size_t i = 0; i < 22; ++i) {
        const auto it = model.find({id, i});
        const SignalValue got = store.get(id, i);
        if (it == model.end()) {
          EXPECT_TRUE(got.is_empty());
        } else {
          EXPECT_EQ(got, SignalValue::bits(it->second));
        }
      }
    }
  }
}

}  // namespace
}  // namespace velk
