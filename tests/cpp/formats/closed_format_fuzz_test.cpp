// Seeded random and mutated inputs for the three closed-format readers: every
// input must load or fail with a message, never crash, hang or allocate
// without bound, and the same bytes must always give the same trace.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "formats/shm/shm_trace.h"
#include "formats/vpd/vpd_trace.h"
#include "formats/wlf/wlf_trace.h"
#include "support/bytes.h"
#include "support/closed_format_files.h"

namespace velk {
namespace {

using namespace velk::testing;

constexpr int kMutantsPerSeed = 700;
constexpr int kRandomInputs = 300;


// --------------------------------------------------------------- mutation

class Mutator {
 public:
  explicit Mutator(std::uint32_t seed) : rng_(seed) {}

  std::uint32_t below(std::uint64_t n) { return n == 0 ? 0 : static_cast<std::uint32_t>(rng_() % n); }

  // One to three mutations: bit flips, a truncation, a random 32-bit word at
  // one of the format's header offsets, or a random byte run.
  ByteVec mutate(ByteVec b, const std::vector<std::size_t>& header_offsets) {
    const int rounds = 1 + static_cast<int>(below(3));
    for (int i = 0; i < rounds && !b.empty(); ++i) {
      switch (below(4)) {
        case 0:
          for (int k = 1 + static_cast<int>(below(8)); k > 0; --k) b[below(b.size())] ^= 1u << below(8);
          break;
        case 1:
          b.resize(below(b.size() + 1));
          break;
        case 2: {
          const std::size_t off = header_offsets[below(header_offsets.size())];
          if (off + 4 <= b.size()) put_be32(b, off, static_cast<std::uint32_t>(rng_()));
          break;
        }
        default: {
          const std::size_t at = below(b.size());
          for (std::size_t k = at; k < b.size() && k < at + 1 + below(16); ++k) b[k] = static_cast<std::uint8_t>(rng_());
          break;
        }
      }
    }
    return b;
  }

  ByteVec random_bytes(std::size_t max_len, std::uint32_t magic_be) {
    ByteVec b(below(max_len + 1));
    for (auto& x : b) x = static_cast<std::uint8_t>(rng_());
    if (b.size() >= 4 && below(2)) put_be32(b, 0, magic_be);  // half of them get past the magic check
    return b;
  }

 private:
  std::mt19937 rng_;
};

// --------------------------------------------------------------- checks

// A loaded trace is internally consistent: ids are dense and every value is
// a Bits value or Empty.
void expect_consistent(const LoadedTrace& t) {
  ASSERT_FALSE(t.timestamps.empty());
  for (std::size_t i = 0; i < t.signals.names().size(); ++i) {
    ASSERT_EQ(t.signal_id(t.signals.names()[i]), i);
  }
  for (std::size_t i = 1; i < t.timestamps.size(); ++i) ASSERT_LT(t.timestamps[i - 1], t.timestamps[i]);
}

bool same_trace(const LoadedTrace& a, const LoadedTrace& b) {
  if (a.signals.names() != b.signals.names() || a.scopes() != b.scopes() || a.timestamps != b.timestamps) return false;
  for (std::uint32_t id = 0; id < a.signals.names().size(); ++id) {
    if (a.store.get_range(id, 0, a.timestamps.size()) != b.store.get_range(id, 0, b.timestamps.size())) {
      return false;
    }
  }
  return true;
}

template <class Load>
void expect_deterministic(const ByteVec& input, Load load) {
  auto a = load(input);
  auto b = load(input);
  ASSERT_EQ(a.ok(), b.ok());
  if (!a.ok()) {
    EXPECT_EQ(a.error().message(), b.error().message());
    return;
  }
  expect_consistent(a.value());
  EXPECT_TRUE(same_trace(a.value(), b.value()));
}

Expected<LoadedTrace> load_vpd(const ByteVec& b) { return vpd::parse(b); }

Expected<LoadedTrace> load_wlf(const ByteVec& b) {
  auto r = wlf::parse(b);
  // Each time step is one body byte, so the time axis never outgrows the file.
  if (r.ok()) {
    EXPECT_LE(r.value().timestamps.size(), b.size());
  }
  return r;
}

// The design seed's names stand in for the design file, so transition
// mutants are decoded against a real name list.
Expected<LoadedTrace> load_trn(const ByteVec& b) {
  auto trace = shm::parse_design(dsn_seed());
  if (!trace.ok()) return trace;
  shm::decode_transitions(b, trace.value());
  shm::decode_transitions(b, trace.value());  // a second file with the same times merges cleanly
  return trace;
}

Expected<LoadedTrace> load_dsn(const ByteVec& b) {
  auto trace = shm::parse_design(b);
  if (!trace.ok()) return trace;
  shm::decode_transitions(trn_seed(), trace.value());
  return trace;
}

template <class Load>
void fuzz(std::uint32_t seed, const ByteVec& valid, const std::vector<std::size_t>& offsets, std::uint32_t magic_be,
          Load load) {
  Mutator m(seed);
  const auto base = load(valid);
  ASSERT_TRUE(base.ok()) << base.error().message();
  ASSERT_FALSE(base.value().signal_names().empty());
  for (int i = 0; i < kMutantsPerSeed; ++i) {
    SCOPED_TRACE("mutant " + std::to_string(i));
    expect_deterministic(m.mutate(valid, offsets), load);
    if (::testing::Test::HasFatalFailure()) return;
  }
  for (int i = 0; i < kRandomInputs; ++i) {
    SCOPED_TRACE("random " + std::to_string(i));
    expect_deterministic(m.random_bytes(valid.size() + 64, magic_be), load);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST(ClosedFormatFuzz, Vpd) {
  std::vector<std::size_t> offsets{0};
  for (std::size_t k = 48; k < 128; k += 4) offsets.push_back(k);
  fuzz(1, vpd_seed(), offsets, 0x78563412, load_vpd);
}

TEST(ClosedFormatFuzz, Wlf) {
  const std::size_t p = wlf::kPageSize;
  ASSERT_GT(load_wlf(wlf_seed()).value().timestamps.size(), 3u);
  fuzz(2, wlf_seed(), {0, 2, 22, 24, 40, p, 2 * p, 2 * p + 2, 3 * p, 3 * p + 2}, 0, load_wlf);
}

TEST(ClosedFormatFuzz, ShmDesign) {
  fuzz(3, dsn_seed(), {0, 128, 132, 136, 140, 144, 148, 152, 156, 160}, shm::kMagic, load_dsn);
}

TEST(ClosedFormatFuzz, ShmTransitions) {
  std::vector<std::size_t> offsets{0, 8};
  const ByteVec seed = trn_seed();
  // Block heads start at 64 and follow their value bytes; the fields that
  // matter are the time, count and the three offsets.
  for (std::size_t k = 64; k + 64 <= seed.size(); ++k) {
    if (seed[k] == 0x00 && seed[k + 1] == 0x1B && seed[k + 2] == 0x22 && seed[k + 3] == 0x00) {
      for (std::size_t f : {28, 40, 48, 52, 56}) offsets.push_back(k + f);
    }
  }
  ASSERT_GT(load_trn(seed).value().timestamps.size(), 5u);
  fuzz(4, seed, offsets, shm::kMagic, load_trn);
}

}  // namespace
}  // namespace velk
