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

namespace velk {
namespace {

using namespace velk::testing;

constexpr int kMutantsPerSeed = 700;
constexpr int kRandomInputs = 300;


// ------------------------------------------------------------------ seeds

ByteVec vpd_seed() {
  ByteVec b(400, 0);
  put_le32(b, 0, 0x12345678);
  put_le32(b, 48, 140);
  put_le32(b, 52, 260);
  put_le32(b, 56, 140);
  std::size_t at = 140;
  for (const char* s : {"FoldedTop", "top.a", "top.b[3]", "top.sub.c"}) {
    put_cstr(b, at, s);
    at += std::string(s).size() + 1;
  }
  at = 260;
  for (const char* s : {"x.y", "x.z", "x.w", "x.v", "x.u"}) {
    put_cstr(b, at, s);
    at += std::string(s).size() + 1;
  }
  return b;
}

ByteVec wlf_seed() {
  constexpr std::size_t kPage = wlf::kPageSize;
  ByteVec b(4 * kPage, 0);
  put_be16(b, 24, 8);
  b[40] = 3, b[41] = 'h', b[42] = 'd', b[43] = 'r';
  b[44] = 1, b[45] = 'v';
  b[46] = 0;
  std::size_t at = 47;
  for (const char* s : {"top.a", "top.b", "top.c", "top.u.d"}) {
    put_cstr(b, at, s);
    at += std::string(s).size() + 1;
  }
  put_be16(b, 2, static_cast<std::uint16_t>(at));
  at = kPage + 8;  // a name page
  for (const char* s : {"top.e", "top.f"}) {
    put_cstr(b, at, s);
    at += std::string(s).size() + 1;
  }
  for (std::size_t page = 2; page < 4; ++page) {  // value pages
    const std::size_t p = page * kPage;
    b[p] = b[p + 1] = 0xFF;
    const ByteVec body{0x01, 0x05, 0x02, 0x07, 0xFF, 0x01, 0x06, 0x00, 0xFF, 0xFF, 0x03, 0x09,
                       0x05, 0x01, 0xFF, 0x04, 0x02, 0x02, 0x08, 0xFF, 0x01, 0x04, 0x00, 0x00};
    std::copy(body.begin(), body.end(), b.begin() + static_cast<std::ptrdiff_t>(p + 16));
    put_be16(b, p + 2, static_cast<std::uint16_t>(body.size()));
  }
  return b;
}

ByteVec dsn_seed() {
  ByteVec b(128, 0);
  put_be32(b, 0, shm::kMagic);
  const auto record = [&](std::uint32_t tag, std::vector<std::string> strings, bool link) {
    const std::size_t p = b.size();
    b.resize(p + 12, 0);
    put_be32(b, p, tag);
    put_be32(b, p + 8, static_cast<std::uint32_t>(p + 12));
    for (const auto& s : strings) {
      b.insert(b.end(), s.begin(), s.end());
      b.push_back(0);
    }
    while (b.size() % 4) b.push_back(0);
    if (link) put_be32(b, p + 4, static_cast<std::uint32_t>(b.size()));
  };
  record(0x00070501, {"top"}, true);
  record(0x00090700, {"clk", "rst", "d0", "d1"}, true);
  record(0x00070601, {"u_core"}, false);
  record(0x00290700, {"q[0]", "q[1]", "irq"}, true);
  record(0x000F0400, {"core.v"}, false);
  return b;
}

ByteVec trn_seed() {
  ByteVec b(64, 0);
  put_be32(b, 0, shm::kMagic);
  put_be32(b, 8, 6);
  const auto block = [&](std::uint32_t t, std::uint32_t c, const ByteVec& values, const ByteVec& extra) {
    const std::size_t k = b.size();
    b.resize(k + 64, 0);
    b[k + 1] = 0x1B, b[k + 2] = 0x22;
    const auto s = static_cast<std::uint32_t>(k + 64);
    const auto e = static_cast<std::uint32_t>(s + values.size());
    put_be32(b, k + 28, t);
    put_be32(b, k + 40, c);
    put_be32(b, k + 48, static_cast<std::uint32_t>(e + extra.size()));
    put_be32(b, k + 52, s);
    put_be32(b, k + 56, e);
    b.insert(b.end(), values.begin(), values.end());
    b.insert(b.end(), extra.begin(), extra.end());
  };
  block(1000, 4, {0x08, 0x10}, {});
  block(400, 3, {0xA0, 0x80, 0x40, 0x00, 0x00}, {});
  block(2047, 1, {0x18}, {0x00, 0x12, 0x40, 0x00, 0x00, 0x26, 0xF5, 0x00, 0x01, 0x8F, 0x00, 0x00});
  block(0, 1, {}, {});
  block(1270, 1, {0x10}, {0x00, 0x13, 0x40, 0x00, 0x00, 0x20, 0x00, 0x05, 0x54, 0x01, 0x81, 0x00});
  return b;
}

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
  ASSERT_EQ(t.name_to_id.size(), t.signal_names_.size());
  for (std::size_t i = 0; i < t.signal_names_.size(); ++i) {
    ASSERT_EQ(t.signal_id(t.signal_names_[i]), i);
  }
  for (std::size_t i = 1; i < t.timestamps.size(); ++i) ASSERT_LT(t.timestamps[i - 1], t.timestamps[i]);
}

bool same_trace(const LoadedTrace& a, const LoadedTrace& b) {
  if (a.signal_names_ != b.signal_names_ || a.scopes() != b.scopes() || a.timestamps != b.timestamps) return false;
  for (std::uint32_t id = 0; id < a.signal_names_.size(); ++id) {
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
