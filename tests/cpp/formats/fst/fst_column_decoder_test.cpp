// The chain-by-chain decoding against the time-ordered reading it replaces:
// random files of every record kind, offset-table encoding and packing, with
// frames, repeated times, aliases, unnamed signals and an end time that cuts
// records off, loaded both ways with several thread counts; and the same
// files corrupted, where both ways must fail alike or load alike.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>

#include "formats/fst/fst_trace.h"
#include "fst_builder.h"

namespace velk::fst {
namespace {

using namespace testing;
using Order = FstLoadOptions::Order;

std::string temp_path(const std::string& name) {
  return ::testing::TempDir() + std::to_string(::getpid()) + "_" + name;
}

void write_file(const std::string& path, const Buf& bytes) {
  std::remove(path.c_str());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

// Stored geometry value: 0 real, 0xFFFFFFFF zero width, else the bit count.
struct RandomSignal {
  std::uint32_t stored;
  bool is_real() const { return stored == 0; }
  bool variable() const { return stored == 0xFFFFFFFFu; }
  std::uint32_t bits() const { return is_real() || variable() ? 0 : stored; }
};

class RandomFst {
 public:
  // With `overshoot`, some chains end in a record one time index past the
  // table (malformed, as in a hostile file).
  explicit RandomFst(std::uint32_t seed, bool overshoot = false) : rng_(seed), overshoot_(overshoot) {}

  // Sections of `times` time indices whose chains hold up to `records`
  // records each: long enough to cross the decoder's batches.
  RandomFst& long_chains(std::size_t times, std::size_t records) {
    long_times_ = times;
    long_records_ = records;
    return *this;
  }

  Buf make() {
    const std::size_t n = 1 + pick(12);
    signals_.clear();
    for (std::size_t i = 0; i < n; ++i) signals_.push_back({kind()});
    const std::size_t sections = 1 + pick(3);
    std::vector<Section> built;
    std::uint64_t time = pick(3);
    const std::uint64_t start = time;
    for (std::size_t k = 0; k < sections; ++k) built.push_back(section(k == 0, time));
    const std::uint64_t last = built.back().end;
    // Now and then the header ends before the last time: later records are dropped.
    const std::uint64_t end = pick(4) == 0 && last > 0 ? last - pick(static_cast<std::uint32_t>(last)) : last;
    Buf f = header_block(start, end);
    for (const auto& s : built) append(f, section_block(s));
    std::vector<std::uint32_t> stored;
    for (const auto& s : signals_) stored.push_back(s.stored);
    append(f, geometry_block(stored));
    append(f, hierarchy());
    return f;
  }

 private:
  std::uint32_t pick(std::uint32_t n) { return n == 0 ? 0 : static_cast<std::uint32_t>(rng_() % n); }

  std::uint32_t kind() {
    switch (pick(8)) {
      case 0: return 0;
      case 1: return 0xFFFFFFFFu;
      case 2: return 2 + pick(100);
      case 3: return 8 * (1 + pick(8));
      default: return 1;
    }
  }

  Section section(bool first, std::uint64_t& time) {
    Section s;
    s.type = std::array<std::uint8_t, 3>{1, 5, 8}[pick(3)];
    s.pack = pick(2) ? 'Z' : '4';
    s.start = time;
    // Writers repeat the last time of a section as the next one's first.
    if (!first && pick(2)) time += 1 + pick(5);
    const std::size_t count = long_times_ ? long_times_ : 1 + pick(30);
    for (std::size_t i = 0; i < count; ++i) {
      s.times.push_back(time);
      time += pick(6) == 0 ? 0 : 1 + pick(4);
    }
    time = s.times.back();
    s.end = time;
    if (first && pick(2)) {
      s.start = s.times.front() > 0 ? s.times.front() - 1 : 0;
      if (s.start < s.times.front()) s.frame = frame();
    }
    s.frame_signals = signals_.size();
    s.vc_signals = signals_.size();
    chains(s);
    return s;
  }

  Buf frame() {
    Buf f;
    for (const auto& sig : signals_) {
      if (sig.is_real()) {
        double v = static_cast<double>(pick(1000)) / 8;
        Buf d(8);
        std::memcpy(d.data(), &v, 8);
        append(f, d);
      }
      for (std::uint32_t i = 0; i < sig.bits(); ++i) f.push_back(static_cast<std::uint8_t>("01xz"[pick(4)]));
    }
    return f;
  }

  // One record: the leading varint with its time delta, then the value.
  Buf record(const RandomSignal& sig, std::uint32_t delta) {
    Buf r;
    if (sig.bits() == 1) {
      if (pick(4) == 0) {
        append_uleb128(r, (delta << 4) | (pick(8) << 1) | 1);
      } else {
        append_uleb128(r, (delta << 2) | (pick(2) << 1));
      }
    } else if (sig.is_real()) {
      append_uleb128(r, (delta << 1) | 1);
      double v = pick(10) == 0 ? -0.0 : static_cast<double>(pick(1000)) / 4;
      Buf d(8);
      std::memcpy(d.data(), &v, 8);
      append(r, d);
    } else if (sig.variable()) {
      append_uleb128(r, delta << 1);
      const std::uint32_t k = pick(4);
      append_uleb128(r, k);
      for (std::uint32_t i = 0; i < k; ++i) r.push_back(static_cast<std::uint8_t>("01xz?a"[pick(6)]));
    } else if (pick(3) == 0) {
      append_uleb128(r, (delta << 1) | 1);
      const char* alphabet = pick(2) ? "01" : "01xzh?";
      const std::size_t letters = std::strlen(alphabet);
      for (std::uint32_t i = 0; i < sig.bits(); ++i) r.push_back(static_cast<std::uint8_t>(alphabet[pick(letters)]));
    } else {
      append_uleb128(r, delta << 1);
      for (std::uint32_t i = 0; i < (sig.bits() + 7) / 8; ++i) r.push_back(static_cast<std::uint8_t>(rng_()));
    }
    return r;
  }

  // Chains for some signals (others alias an earlier chain or have none),
  // and the offset table of the section's type.
  void chains(Section& s) {
    const std::size_t n = signals_.size();
    std::vector<int> alias_of(n, -1);
    std::vector<bool> has_chain(n, false);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t roll = pick(8);
      if (roll == 0) continue;
      if (roll == 1 && i > 0 && has_chain[i - 1] && signals_[i].stored == signals_[i - 1].stored) {
        alias_of[i] = static_cast<int>(i - 1);
        continue;
      }
      has_chain[i] = true;
      Buf records;
      std::uint64_t t = 0;
      const std::size_t count = long_records_ ? long_records_ : pick(12);
      for (std::size_t k = 0; k < count; ++k) {
        const std::uint32_t delta = k == 0 ? pick(3) : pick(3) == 0 ? 0 : 1 + pick(3);
        if (t + delta >= s.times.size()) break;
        t += delta;
        append(records, record(signals_[i], delta));
      }
      if (records.empty()) append(records, record(signals_[i], 0));
      if (overshoot_ && pick(4) == 0) {
        if (pick(2)) {
          records.clear();
          t = 0;
        }
        append(records, record(signals_[i], static_cast<std::uint32_t>(s.times.size() - t)));
      }
      if (s.pack == '4' && pick(2)) {
        Buf c;
        append_uleb128(c, records.size());
        append(c, lz4_compress(records));
        s.chains.push_back(c);
      } else {
        s.chains.push_back(stored_chain(records));
      }
    }
    s.offset_table = s.type == 8 ? alias2_table(s, has_chain, alias_of) : alias_table(s, has_chain, alias_of);
  }

  static Buf alias2_table(const Section& s, const std::vector<bool>& has_chain, const std::vector<int>& alias_of) {
    Buf t;
    std::size_t chain = 0;
    std::int64_t previous_size = 1;  // the first chain sits at offset 1
    std::uint32_t skip = 0;
    for (std::size_t i = 0; i < has_chain.size(); ++i) {
      if (!has_chain[i] && alias_of[i] < 0) {
        ++skip;
        continue;
      }
      if (skip) append_uleb128(t, 2 * skip);
      skip = 0;
      if (has_chain[i]) {
        append_sleb128(t, (previous_size << 1) | 1);
        previous_size = static_cast<std::int64_t>(s.chains[chain++].size());
      } else {
        append_sleb128(t, (-2 * (alias_of[i] + 1)) | 1);
      }
    }
    return t;
  }

  static Buf alias_table(const Section& s, const std::vector<bool>& has_chain, const std::vector<int>& alias_of) {
    Buf t;
    std::size_t chain = 0;
    std::uint64_t previous_size = 1;
    for (std::size_t i = 0; i < has_chain.size(); ++i) {
      if (has_chain[i]) {
        append_uleb128(t, (previous_size << 1) | 1);
        previous_size = s.chains[chain++].size();
      } else if (alias_of[i] >= 0) {
        append_uleb128(t, 0);
        append_uleb128(t, static_cast<std::uint64_t>(alias_of[i]) + 1);
      } else {
        append_uleb128(t, 2);
      }
    }
    return t;
  }

  // Names for the signals but now and then the last few (which stay
  // unnamed); some signals get a second name.
  Buf hierarchy() {
    Buf h = scope_entry("top");
    const bool all = long_times_ > 0 || pick(3) != 0;
    const std::size_t named = all ? signals_.size() : pick(static_cast<std::uint32_t>(signals_.size()));
    for (std::uint32_t i = 0; i < named; ++i) {
      const std::string name = "s" + std::to_string(i);
      append(h, var_entry(16, name, signals_[i].bits()));
      if (pick(5) == 0) append(h, var_entry(16, name + "_alias", signals_[i].bits(), i + 1));
    }
    append(h, upscope_entry());
    return hierarchy_block(h);
  }

  std::mt19937 rng_;
  bool overshoot_;
  std::size_t long_times_ = 0;
  std::size_t long_records_ = 0;
  std::vector<RandomSignal> signals_;
};

// The same outcome: equal failures, or traces equal at every index.
void expect_same(const Expected<LoadedTrace>& got, const Expected<LoadedTrace>& want, const std::string& label) {
  ASSERT_EQ(got.ok(), want.ok()) << label << ": " << (got.ok() ? want.error().message() : got.error().message());
  if (!want.ok()) {
    EXPECT_EQ(got.error().message(), want.error().message()) << label;
    EXPECT_EQ(got.error().note(), want.error().note()) << label;
    return;
  }
  const LoadedTrace& a = got.value();
  const LoadedTrace& b = want.value();
  ASSERT_EQ(a.signals.names(), b.signals.names()) << label;
  ASSERT_EQ(a.timestamps, b.timestamps) << label;
  for (const auto& name : b.signals.names()) {
    const std::uint32_t id = *b.signal_id(name);
    ASSERT_EQ(a.store.change_count(id), b.store.change_count(id)) << label << " " << name;
    for (std::size_t i = 0; i <= b.timestamps.size(); ++i) {
      ASSERT_EQ(a.store.get(id, i), b.store.get(id, i)) << label << " " << name << " @" << i;
    }
  }
}

Expected<LoadedTrace> load(const std::string& path, Order order, unsigned threads) {
  return FstTrace::from_file_with(path, FstLoadOptions{order, threads});
}

TEST(FstColumnDecoder, RandomFilesLoadAsTheTimeOrderedReadingLoadsThem) {
  const std::string path = temp_path("random.fst");
  std::size_t loaded = 0;
  for (std::uint32_t seed = 1; seed <= 400; ++seed) {
    const Buf file = RandomFst(seed).make();
    write_file(path, file);
    const auto want = load(path, Order::TimeOrdered, 1);
    ASSERT_TRUE(want.ok()) << seed << ": " << want.error().message() << " / " << want.error().note();
    for (std::uint32_t id = 0; id < want.value().signals.names().size(); ++id) {
      if (want.value().store.change_count(id) > 1) {
        ++loaded;
        break;
      }
    }
    for (const unsigned threads : {1u, 2u, 3u, 7u}) {
      expect_same(load(path, Order::ByChain, threads), want, "seed " + std::to_string(seed) + " threads " +
                                                                   std::to_string(threads));
    }
  }
  EXPECT_GT(loaded, 200u);
}

TEST(FstColumnDecoder, LongChainsLoadAsTheTimeOrderedReadingLoadsThem) {
  const std::string path = temp_path("long.fst");
  for (std::uint32_t seed = 1; seed <= 3; ++seed) {
    write_file(path, RandomFst(seed).long_chains(60000, 50000).make());
    const auto want = load(path, Order::TimeOrdered, 1);
    ASSERT_TRUE(want.ok()) << want.error().message();
    std::size_t most = 0;
    for (std::uint32_t id = 0; id < want.value().signals.names().size(); ++id) {
      most = std::max(most, want.value().store.change_count(id));
    }
    EXPECT_GT(most, 20000u) << seed;
    for (const unsigned threads : {1u, 2u}) expect_same(load(path, Order::ByChain, threads), want, "long " + std::to_string(seed));
  }
}

TEST(FstColumnDecoder, CorruptedFilesFailOrLoadAsTheTimeOrderedReadingDoes) {
  const std::string path = temp_path("corrupt.fst");
  std::mt19937 rng(99);
  std::size_t failures = 0;
  for (std::uint32_t seed = 1; seed <= 150; ++seed) {
    const Buf original = RandomFst(seed, seed % 2 == 0).make();
    for (int round = 0; round < 12; ++round) {
      Buf bad = original;
      const int flips = 1 + static_cast<int>(rng() % 3);
      for (int k = 0; k < flips; ++k) bad[rng() % bad.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      if (round % 4 == 3) bad.resize(rng() % bad.size());
      write_file(path, bad);
      const auto want = load(path, Order::TimeOrdered, 1);
      failures += !want.ok();
      const std::string label = "seed " + std::to_string(seed) + " round " + std::to_string(round);
      expect_same(load(path, Order::ByChain, 1), want, label);
      expect_same(load(path, Order::ByChain, 2), want, label + " (2 threads)");
    }
  }
  EXPECT_GT(failures, 100u);
}

}  // namespace
}  // namespace velk::fst
