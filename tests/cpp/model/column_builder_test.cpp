#include <gtest/gtest.h>

#include <bit>
#include <memory>
#include <cmath>
#include <random>

#include "model/column_builder.h"
#include "model/dense_reference.h"

namespace velk {
namespace {

using reference::DenseColumnBuilder;
using reference::DenseStore;

// Same kind and same bits, so NaN matches NaN and 0.0 differs from -0.0: the
// store must give back exactly what the dense column held.
bool identical(const SignalValue& a, const SignalValue& b) {
  if (a.tag() == SignalValue::Tag::Real && b.tag() == SignalValue::Tag::Real) {
    return std::bit_cast<std::uint64_t>(a.as_real()) == std::bit_cast<std::uint64_t>(b.as_real());
  }
  return a == b;
}

// Values of every kind, with repeats so that equal neighbours are common.
SignalValue random_value(std::mt19937& rng) {
  switch (rng() % 9) {
    case 0: return SignalValue();
    case 1: {
      const std::uint8_t levels[] = {1, static_cast<std::uint8_t>(rng() % 4)};
      return SignalValue::logic(levels);
    }
    case 2: {
      const std::uint8_t level = static_cast<std::uint8_t>(2 + rng() % 2);
      return SignalValue::logic({&level, 1});
    }
    case 3: {
      static const double reals[] = {0.0, -0.0, 1.5, std::nan(""), -std::nan("")};
      return SignalValue::real(reals[rng() % 5]);
    }
    case 4: return SignalValue::str(rng() % 2 ? "a" : "");
    case 5: {
      const std::uint64_t words[] = {rng() % 2, 1};
      return SignalValue::wide_bits(words);
    }
    case 6: return SignalValue::bits(rng());
    default: return SignalValue::bits(rng() % 3);
  }
}

struct Write {
  std::uint32_t id;
  std::size_t index;
  SignalValue value;
};

std::vector<Write> random_writes(std::mt19937& rng, std::size_t indices) {
  std::vector<Write> writes;
  for (int k = 0, n = static_cast<int>(rng() % 80); k < n; ++k) {
    // Some signals change rarely, some at most indices; some writes land past the last index.
    const auto id = static_cast<std::uint32_t>(rng() % 6);
    const std::size_t index = id == 5 ? indices + rng() % 4 : rng() % (indices + 3);
    writes.push_back({id, index, random_value(rng)});
  }
  return writes;
}

void expect_same_values(const DenseStore& dense, const ValueStore& store, std::size_t indices, int round) {
  for (std::uint32_t id = 0; id < 8; ++id) {
    SignalCursor cursor = store.cursor(id);
    for (std::size_t i = 0; i < indices + 6; ++i) {
      ASSERT_TRUE(identical(dense.at(id, i), store.get(id, i))) << round << " id " << id << " @" << i;
      ASSERT_TRUE(identical(dense.at(id, i), cursor.at(i))) << round << " id " << id << " @" << i;
    }
  }
}

// The change store against the dense columns it replaces, on random records
// of the shapes the readers make: both fill orders, explicit Empty,
// out-of-order records, several records for one slot, records past the last
// index, NaN and signed-zero reals.
TEST(ColumnBuilder, MatchesDenseColumnsOnRandomRecords) {
  std::mt19937 rng(3);
  for (int round = 0; round < 2000; ++round) {
    const std::size_t indices = rng() % 30;
    std::vector<Write> writes = random_writes(rng, indices);
    if (round % 2) std::shuffle(writes.begin(), writes.end(), rng);
    for (const auto fill : {ColumnBuilder::Fill::BeforeChanges, ColumnBuilder::Fill::AfterChanges}) {
      ColumnBuilder builder;
      DenseColumnBuilder reference;
      for (const Write& w : writes) {
        builder.record(w.id, w.index, w.value);
        reference.record(w.id, w.index, w.value);
      }
      ValueStore store;
      builder.build_into(store, indices, fill);
      DenseStore dense;
      reference.build_into(dense, indices,
                           fill == ColumnBuilder::Fill::BeforeChanges ? DenseColumnBuilder::Fill::BeforeChanges
                                                                      : DenseColumnBuilder::Fill::AfterChanges);
      expect_same_values(dense, store, indices, round);
    }
  }
}

// The two ways the readers used the dense store directly: fill as each index
// opens and then set its changes, or set everything and fill at the end.
TEST(ColumnBuilder, MatchesStepwiseDenseFills) {
  std::mt19937 rng(5);
  for (int round = 0; round < 1000; ++round) {
    const std::size_t indices = rng() % 30;
    std::vector<Write> writes = random_writes(rng, indices);
    std::stable_sort(writes.begin(), writes.end(), [](const Write& a, const Write& b) { return a.index < b.index; });

    DenseStore stepwise;
    ColumnBuilder before;
    std::size_t opened = 0;
    for (const Write& w : writes) {
      while (opened < w.index && opened + 1 < indices) stepwise.forward_fill(++opened);
      stepwise.set(w.id, w.index, w.value);
      before.record(w.id, w.index, w.value);
    }
    while (opened + 1 < indices) stepwise.forward_fill(++opened);
    ValueStore built_before;
    before.build_into(built_before, indices, ColumnBuilder::Fill::BeforeChanges);
    expect_same_values(stepwise, built_before, indices, round);

    DenseStore at_end;
    ColumnBuilder after;
    for (const Write& w : writes) {
      at_end.set(w.id, w.index, w.value);
      after.record(w.id, w.index, w.value);
    }
    for (std::size_t i = 1; i < indices; ++i) at_end.forward_fill(i);
    ValueStore built_after;
    after.build_into(built_after, indices, ColumnBuilder::Fill::AfterChanges);
    expect_same_values(at_end, built_after, indices, round);
  }
}

// The appender (values in index order per signal, all below the last index)
// against the dense columns, for both fill orders.
TEST(ValueAppender, MatchesDenseColumnsOnInOrderRecords) {
  std::mt19937 rng(9);
  for (int round = 0; round < 2000; ++round) {
    const std::size_t indices = 1 + rng() % 30;
    std::vector<Write> writes = random_writes(rng, indices);
    std::erase_if(writes, [&](const Write& w) { return w.index >= indices; });
    std::stable_sort(writes.begin(), writes.end(), [](const Write& a, const Write& b) { return a.index < b.index; });
    for (const auto fill : {FillOrder::BeforeChanges, FillOrder::AfterChanges}) {
      ValueAppender appender(fill);
      DenseColumnBuilder reference;
      for (const Write& w : writes) {
        ASSERT_TRUE(appender.append(w.id, w.index, w.value));
        reference.record(w.id, w.index, w.value);
      }
      const ValueStore store = appender.finish(indices);
      DenseStore dense;
      reference.build_into(dense, indices,
                           fill == FillOrder::BeforeChanges ? DenseColumnBuilder::Fill::BeforeChanges
                                                            : DenseColumnBuilder::Fill::AfterChanges);
      expect_same_values(dense, store, indices, round);
    }
  }
}

// A store built in parts over ranges of ids (as the loaders do on several
// threads) and put together reads like one built by a single appender: the
// parts' pool slots are renumbered, ids between parts read Empty.
TEST(ValueAppender, PartsOverIdRangesPutTogether) {
  std::mt19937 rng(11);
  for (int round = 0; round < 2000; ++round) {
    const std::size_t indices = 1 + rng() % 30;
    std::vector<Write> writes = random_writes(rng, indices);
    std::erase_if(writes, [&](const Write& w) { return w.index >= indices; });
    std::stable_sort(writes.begin(), writes.end(), [](const Write& a, const Write& b) { return a.index < b.index; });
    std::uint32_t cut[] = {0, static_cast<std::uint32_t>(rng() % 7), static_cast<std::uint32_t>(rng() % 7), 8};
    if (cut[1] > cut[2]) std::swap(cut[1], cut[2]);
    for (const auto fill : {FillOrder::BeforeChanges, FillOrder::AfterChanges}) {
      DenseColumnBuilder reference;
      for (const Write& w : writes) reference.record(w.id, w.index, w.value);
      DenseStore dense;
      reference.build_into(dense, indices,
                           fill == FillOrder::BeforeChanges ? DenseColumnBuilder::Fill::BeforeChanges
                                                            : DenseColumnBuilder::Fill::AfterChanges);
      ValueStore store;
      for (int part = 0; part < 3; ++part) {
        ValueAppender appender(fill);
        for (const Write& w : writes) {
          if (w.id < cut[part] || w.id >= cut[part + 1]) continue;
          ASSERT_TRUE(appender.append(w.id - cut[part], w.index, w.value));
        }
        store.append_columns(appender.finish(indices), cut[part]);
      }
      expect_same_values(dense, store, indices, round);

      // The same parts writing into the first part's columns, made for the
      // ids known up front; the last part's ids past those get its own.
      const auto known = static_cast<std::uint32_t>(cut[2] + rng() % (9 - cut[2]));
      std::vector<std::unique_ptr<ValueAppender>> parts;
      for (int part = 0; part < 3; ++part) parts.push_back(std::make_unique<ValueAppender>(fill));
      parts[0]->make_columns(known);
      parts[1]->write_in_place(*parts[0], cut[1], cut[2] - cut[1]);
      parts[2]->write_in_place(*parts[0], cut[2], known - cut[2]);
      // Interleaved, as threads would write.
      for (const Write& w : writes) {
        const int part = w.id < cut[1] ? 0 : w.id < cut[2] ? 1 : 2;
        ASSERT_TRUE(parts[part]->append(w.id - cut[part], w.index, w.value));
      }
      ValueStore shared;
      shared.append_columns(parts[0]->finish(indices), 0);
      shared.append_part_in_place(parts[1]->finish(indices), cut[1], cut[2] - cut[1]);
      shared.append_part_in_place(parts[2]->finish(indices), cut[2], known - cut[2]);
      expect_same_values(dense, shared, indices, round);
    }
  }
  ValueStore store;
  ValueAppender a(FillOrder::BeforeChanges);
  a.append_bits(2, 0, 1);
  store.append_columns(a.finish(1), 0);
  EXPECT_THROW(store.append_columns(ValueStore(), 2), std::logic_error);
  // Columns lent to other parts never move, so they cannot grow.
  ValueAppender owner(FillOrder::BeforeChanges);
  owner.make_columns(4);
  EXPECT_THROW(owner.append_bits(4, 0, 1), std::logic_error);
  ValueAppender late(FillOrder::BeforeChanges);
  EXPECT_THROW(late.write_in_place(owner, 2, 3), std::logic_error);
}

TEST(ValueAppender, RefusesAnIndexGoingBackAndRecordsPastTheEnd) {
  ValueAppender a(FillOrder::BeforeChanges);
  EXPECT_TRUE(a.append_bits(0, 3, 1));
  EXPECT_TRUE(a.append_bits(0, 3, 2));  // replaces
  EXPECT_FALSE(a.append_bits(0, 2, 9));
  EXPECT_EQ(a.latest(0), 3u);
  EXPECT_FALSE(a.latest(1).has_value());
  const ValueStore store = a.finish(5);
  EXPECT_EQ(store.get(0, 4), SignalValue::bits(2));
  EXPECT_TRUE(store.get(0, 2).is_empty() && store.get(0, 5).is_empty());
  ValueAppender b(FillOrder::AfterChanges);
  b.append_bits(0, 7, 1);
  EXPECT_THROW(b.finish(7), std::logic_error);
}

// Narrow packing: each column keeps as many bytes per change as its largest
// payload needs, and widening keeps the earlier values.
TEST(ValueAppender, WordsWidenWithoutLosingValues) {
  ValueAppender a(FillOrder::BeforeChanges);
  const std::uint64_t values[] = {0, 1, 200, 70000, 5, 1ull << 40, 3, ~0ull};
  for (std::size_t i = 0; i < 8; ++i) a.append_bits(0, i, values[i]);
  const ValueStore store = a.finish(8);
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(store.get(0, i), SignalValue::bits(values[i])) << i;
}

// Batches of one signal's records against the same records appended one by
// one: every kind of value (the copying path takes plain bits and Empty, the
// rest falls back mid-batch), widths that grow, equal indices that replace,
// an index going back, indices at the limit, both fill orders.
TEST(ValueAppender, BatchesMatchRecordsAppendedOneByOne) {
  using Record = ValueAppender::InlineRecord;
  using Tag = SignalValue::Tag;
  std::mt19937 rng(21);
  for (int round = 0; round < 3000; ++round) {
    const std::size_t indices = 2 + rng() % 40;
    const auto fill = rng() % 2 ? FillOrder::BeforeChanges : FillOrder::AfterChanges;
    ValueAppender one(fill), batched(fill);
    std::vector<std::size_t> next(4, 0);
    const unsigned kinds = 1 + rng() % 5;  // some rounds hold plain bits only
    for (int b = 0, batches = static_cast<int>(rng() % 12); b < batches; ++b) {
      const auto id = static_cast<std::uint32_t>(rng() % 4);
      std::vector<SignalValue> pooled;
      std::vector<Record> batch;
      for (int k = 0, n = static_cast<int>(rng() % 20); k < n; ++k) {
        if (rng() % 3 == 0 && next[id] + 1 < indices) ++next[id];
        std::size_t index = next[id];
        if (rng() % 60 == 0 && index > 0) index -= 1;  // going back: refused
        switch (rng() % kinds) {
          case 0: batch.push_back({index, Tag::Bits, rng() % 3}); break;
          case 1: batch.push_back({index, Tag::Empty, 0}); break;
          case 2: batch.push_back({index, Tag::Bits, rng() % 2 ? rng() % 70000 : std::uint64_t{rng()} << 31}); break;
          case 3: batch.push_back({index, Tag::Real, rng() % 2 ? 0 : std::bit_cast<std::uint64_t>(-0.0)}); break;
          default: {
            const std::uint8_t level = static_cast<std::uint8_t>(2 + rng() % 2);
            pooled.push_back(SignalValue::logic({&level, 1}));
            batch.push_back({index, Tag::Logic, pooled.size() - 1});  // word: position in `pooled`
          }
        }
      }
      // Pooled values take a slot in each appender's own pool.
      const auto resolve = [&](ValueAppender& a, Record r) {
        if (r.tag == Tag::Logic) r.word = a.pool_slot(pooled[r.word]);
        return r;
      };
      bool accepted = true;
      for (const Record& r0 : batch) {
        const Record r = resolve(one, r0);
        if (!one.append_inline(id, r.index, r.tag, r.word)) {
          accepted = false;
          break;
        }
      }
      const bool got = batched.append_batch(id, batch.size(), [&](std::size_t k) { return resolve(batched, batch[k]); });
      ASSERT_EQ(got, accepted) << round;
      if (!accepted) {
        // Both stop at the refused record; the signal goes on from its latest index.
        next[id] = *one.latest(id);
        ASSERT_EQ(batched.latest(id), one.latest(id)) << round;
      }
    }
    const ValueStore a = one.finish(indices), b = batched.finish(indices);
    for (std::uint32_t id = 0; id < 4; ++id) {
      ASSERT_EQ(a.change_count(id), b.change_count(id)) << round << " id " << id;
      for (std::size_t i = 0; i <= indices; ++i) {
        ASSERT_TRUE(identical(a.get(id, i), b.get(id, i))) << round << " id " << id << " @" << i;
      }
    }
  }
  // An index the store cannot hold is refused when it would become a run,
  // as one by one.
  ValueAppender a(FillOrder::BeforeChanges);
  ASSERT_TRUE(a.append_batch(0, 2, [](std::size_t k) {
    return ValueAppender::InlineRecord{k == 0 ? 1 : std::size_t{UINT32_MAX}, Tag::Bits, k};
  }));
  EXPECT_THROW(a.append_bits(0, std::size_t{UINT32_MAX} + 1, 0), std::length_error);
}

// Long columns whose values other than bits come in bursts or only at the
// start: tags stop after a while of bits and start again at the next value
// of another kind. Batched, one by one and through the column builder, the
// store reads as the dense columns do.
TEST(ValueAppender, TagsStopAfterBitsForAWhileAndStartAgain) {
  using Record = ValueAppender::InlineRecord;
  using Tag = SignalValue::Tag;
  std::mt19937 rng(41);
  for (int round = 0; round < 60; ++round) {
    const std::size_t indices = 200 + rng() % 3000;
    const unsigned rarity = 1 + rng() % 300;  // one value of another kind in this many
    const auto fill = rng() % 2 ? FillOrder::BeforeChanges : FillOrder::AfterChanges;
    ValueAppender one(fill), batched(fill);
    ColumnBuilder builder;
    DenseColumnBuilder reference;
    const SignalValue z = [] {
      const std::uint8_t level = 3;
      return SignalValue::logic({&level, 1});
    }();
    for (std::uint32_t id = 0; id < 3; ++id) {
      std::vector<Record> records;
      // Signal 2 changes at every index, so block reads copy its changes
      // (up to the one that ends the column).
      for (std::size_t i = rng() % 4; i < indices; i += id == 2 ? 1 : 1 + rng() % 3) {
        const bool other = (id == 0 && i < 3) || rng() % rarity == 0;
        records.push_back(!other             ? Record{i, Tag::Bits, id == 2 ? i % 2 : rng() % 3}
                          : rng() % 2 == 0   ? Record{i, Tag::Empty, 0}
                                             : Record{i, Tag::Logic, 0});
      }
      const auto value = [&](const Record& r) {
        return r.tag == Tag::Bits ? SignalValue::bits(r.word) : r.tag == Tag::Empty ? SignalValue() : z;
      };
      for (const Record& r : records) {
        ASSERT_TRUE(one.append(id, r.index, value(r)));
        builder.record(id, r.index, value(r));
        reference.record(id, r.index, value(r));
      }
      for (std::size_t k = 0; k < records.size();) {
        const std::size_t n = std::min<std::size_t>(records.size() - k, 1 + rng() % 40);
        ASSERT_TRUE(batched.append_batch(id, n, [&](std::size_t j) {
          Record r = records[k + j];
          if (r.tag == Tag::Logic) r.word = batched.pool_slot(z);
          return r;
        }));
        k += n;
      }
    }
    DenseStore dense;
    reference.build_into(dense, indices,
                         fill == FillOrder::BeforeChanges ? DenseColumnBuilder::Fill::BeforeChanges
                                                          : DenseColumnBuilder::Fill::AfterChanges);
    ValueStore built;
    builder.build_into(built, indices,
                       fill == FillOrder::BeforeChanges ? ColumnBuilder::Fill::BeforeChanges
                                                        : ColumnBuilder::Fill::AfterChanges);
    expect_same_values(dense, one.finish(indices), indices, round);
    const ValueStore store = batched.finish(indices);
    expect_same_values(dense, store, indices, round);
    expect_same_values(dense, built, indices, round);
    // Block reads across the places where tags stop, and across the end.
    for (std::uint32_t id = 0; id < 3; ++id) {
      std::vector<std::size_t> starts = {indices - 15, indices - 8};
      for (std::size_t lo = 0; lo < indices; lo += 1 + rng() % 50) starts.push_back(lo);
      for (const std::size_t lo : starts) {
        std::uint64_t word[16], known[16];
        bool all_bits = false;
        SignalCursor c = store.cursor(id);
        if (c.read_words(lo, lo + 16, word, known, all_bits) == SignalCursor::kNever) continue;
        for (std::size_t j = 0; j < 16; ++j) {
          const SignalValue& v = dense.at(id, lo + j);
          ASSERT_EQ(known[j] != 0 || all_bits, !v.is_empty()) << round << " @" << lo + j;
          ASSERT_EQ(word[j], v.is_empty() ? 0 : v.as_bits()) << round << " @" << lo + j;
        }
      }
    }
  }
  // A vector that is x until its reset and then counts keeps no tag per
  // change after its first batches, small or large.
  const std::uint8_t x2[] = {2, 2};
  const SignalValue unknown = SignalValue::logic(x2);
  const std::size_t n = 10'000;
  for (const std::size_t per_batch : {std::size_t{13}, std::size_t{1000}}) {
    ValueAppender a(FillOrder::BeforeChanges);
    a.append_inline(0, 0, Tag::Logic, a.pool_slot(unknown));
    for (std::size_t k = 1; k < n; k += per_batch) {
      ASSERT_TRUE(a.append_batch(0, std::min(per_batch, n - k), [k](std::size_t j) {
        return Record{k + j, Tag::Bits, (k + j) % 3};
      }));
    }
    const ValueStore counts = a.finish(n);
    EXPECT_LT(counts.bytes_used(), n * 7 / 2) << per_batch;  // two bytes of index and one of payload, and few tags
    EXPECT_EQ(counts.get(0, 0), unknown);
    EXPECT_EQ(counts.get(0, n - 1), SignalValue::bits((n - 1) % 3));
    EXPECT_TRUE(counts.get(0, n).is_empty());
  }
}

TEST(ColumnBuilder, OutOfOrderRecordsKeepTheLastWrite) {
  ColumnBuilder b;
  b.record(0, 5, SignalValue::bits(5));
  b.record(0, 2, SignalValue::bits(2));
  b.record(0, 5, SignalValue::bits(6));
  b.record(0, 2, SignalValue::bits(3));
  ValueStore store;
  b.build_into(store, 7, ColumnBuilder::Fill::AfterChanges);
  EXPECT_TRUE(store.get(0, 1).is_empty());
  EXPECT_EQ(store.get(0, 2), SignalValue::bits(3));
  EXPECT_EQ(store.get(0, 4), SignalValue::bits(3));
  EXPECT_EQ(store.get(0, 5), SignalValue::bits(6));
  EXPECT_EQ(store.get(0, 6), SignalValue::bits(6));
  EXPECT_TRUE(store.get(0, 7).is_empty());
  // Runs of equal values are stored once: 2, 5, and the end at 7.
  EXPECT_EQ(store.change_count(0), 3u);
}

TEST(ColumnBuilder, BuildingReplacesTheStore) {
  ColumnBuilder b;
  b.record(3, 0, SignalValue::bits(1));
  ValueStore store;
  b.build_into(store, 2, ColumnBuilder::Fill::BeforeChanges);
  b.record(1, 1, SignalValue::bits(2));
  b.build_into(store, 2, ColumnBuilder::Fill::BeforeChanges);
  EXPECT_TRUE(store.get(3, 0).is_empty());
  EXPECT_EQ(store.get(1, 1), SignalValue::bits(2));
}

}  // namespace
}  // namespace velk
