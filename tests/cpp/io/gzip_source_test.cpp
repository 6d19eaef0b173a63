// The gzip input and its DEFLATE decoder, against zlib: every stream (valid,
// corrupted, truncated, random, hand-made hostile) must give zlib's bytes and
// zlib's failure text, whatever the sizes of the compressed pieces and of the
// reads.
#include <gtest/gtest.h>
#include <zlib.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "io/byte_source.h"
#include "io/inflate.h"
#include "support/zlib_gzip_source.h"

namespace velk {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::Drained;
using testing::PieceSource;
using testing::ZlibGzipSource;

// ---- plain inputs

Bytes vcd_like(std::mt19937_64& rng, std::size_t n) {
  Bytes out;
  std::string line;
  std::uint64_t t = 0;
  auto pick = [&](unsigned k) { return static_cast<unsigned>(rng() % k); };
  while (out.size() < n) {
    switch (pick(6)) {
      case 0:
        t += 1 + pick(50);
        line = "#" + std::to_string(t);
        break;
      case 1:
      case 2:
        line = std::string(1, "01xz"[pick(4)]) + static_cast<char>(33 + pick(90)) + static_cast<char>(33 + pick(90));
        break;
      default: {
        line = "b";
        const unsigned w = 1 + pick(64);
        for (unsigned i = 0; i < w; ++i) line += static_cast<char>('0' + pick(2));
        line += ' ';
        line += static_cast<char>(33 + pick(90));
      }
    }
    line += '\n';
    out.insert(out.end(), line.begin(), line.end());
  }
  out.resize(n);
  return out;
}

Bytes plain_input(std::mt19937_64& rng, std::size_t n) {
  switch (rng() % 5) {
    case 0: {  // uniform bytes: mostly stored or literal-only blocks
      Bytes b(n);
      for (auto& c : b) c = static_cast<std::uint8_t>(rng());
      return b;
    }
    case 1: {  // few symbols, long runs: short distances and overlapping copies
      Bytes b(n);
      std::uint8_t c = 0;
      for (std::size_t i = 0; i < n; ++i) {
        if (rng() % 23 == 0) c = static_cast<std::uint8_t>('a' + rng() % 3);
        b[i] = c;
      }
      return b;
    }
    case 2: {  // a short pattern repeated with errors: distances 1..8
      const std::size_t period = 1 + rng() % 8;
      Bytes b(n);
      for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i % period == 0 ? 'x' : 'a' + i % period);
      for (std::size_t k = 0; k < n / 97; ++k) b[rng() % n] = static_cast<std::uint8_t>(rng());
      return b;
    }
    default:
      return vcd_like(rng, n);
  }
}

// ---- gzip streams made by zlib

// One gzip member of `plain`, compressed with random settings: level,
// window, memory level, strategy, flushes between pieces (empty stored
// blocks), level changes mid-stream (stored blocks), header fields.
Bytes gzip_member(const Bytes& plain, std::mt19937_64& rng) {
  static constexpr int kStrategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  z_stream zs{};
  const int level = static_cast<int>(rng() % 10);
  const int wbits = 9 + static_cast<int>(rng() % 7);
  const int mem = 1 + static_cast<int>(rng() % 9);
  const int strategy = kStrategies[rng() % 5];
  if (deflateInit2(&zs, level, Z_DEFLATED, 16 + wbits, mem, strategy) != Z_OK) ADD_FAILURE() << "deflateInit2";
  gz_header head{};
  std::string name = "wave.vcd", comment = "made by the test";
  Bytes extra = {'A', 'B', 4, 0, 1, 2, 3, 4};
  if (rng() % 3 == 0) {
    if (rng() % 2) {
      head.extra = extra.data();
      head.extra_len = static_cast<uInt>(extra.size());
    }
    if (rng() % 2) head.name = reinterpret_cast<Bytef*>(name.data());
    if (rng() % 2) head.comment = reinterpret_cast<Bytef*>(comment.data());
    head.hcrc = static_cast<int>(rng() % 2);
    head.os = 3;
    deflateSetHeader(&zs, &head);
  }
  Bytes out(deflateBound(&zs, plain.size()) + 1024);
  std::size_t at = 0;
  std::size_t produced = 0;
  while (true) {
    std::size_t piece = plain.size() - at;
    int flush = Z_FINISH;
    if (rng() % 2 && piece > 0) {
      piece = rng() % (piece + 1);
      static constexpr int kFlushes[] = {Z_NO_FLUSH, Z_SYNC_FLUSH, Z_FULL_FLUSH, Z_BLOCK, Z_PARTIAL_FLUSH};
      flush = kFlushes[rng() % 5];
    }
    if (rng() % 8 == 0) {  // may flush what came before: give it room and count it
      if (out.size() - produced < 4096) out.resize(out.size() * 2);
      zs.next_out = out.data() + produced;
      zs.avail_out = static_cast<uInt>(out.size() - produced);
      deflateParams(&zs, static_cast<int>(rng() % 10), kStrategies[rng() % 5]);
      produced = out.size() - zs.avail_out;
    }
    zs.next_in = const_cast<Bytef*>(plain.data() + at);
    zs.avail_in = static_cast<uInt>(piece);
    for (;;) {
      if (out.size() - produced < 4096) out.resize(out.size() * 2);
      zs.next_out = out.data() + produced;
      zs.avail_out = static_cast<uInt>(out.size() - produced);
      const int rc = deflate(&zs, flush);
      produced = out.size() - zs.avail_out;
      if (rc == Z_STREAM_END) break;
      if (zs.avail_in == 0 && zs.avail_out > 0) break;
    }
    at += piece;
    if (flush == Z_FINISH) break;
  }
  deflateEnd(&zs);
  out.resize(produced);
  return out;
}

// ---- comparison

Drained run_velk(const Bytes& gz, std::uint64_t seed, std::size_t piece, std::size_t read) {
  PieceSource src(gz, seed, piece);
  GzipByteSource source(src);
  return testing::drain(source, seed * 3 + 1, read);
}

// zlib reads with room for everything: the zlib-driven source declared a
// stream truncated when its input ran out while the output was full, even if
// the bits zlib already held completed more symbols (or a fault), so with
// small reads its output and text at a truncation depended on the read sizes.
Drained run_zlib(const Bytes& gz, std::uint64_t seed, std::size_t piece) {
  PieceSource src(gz, seed, piece);
  ZlibGzipSource source(src);
  Drained d;
  static std::string buf(std::size_t{1} << 23, '\0');  // one buffer for every call
  while (const std::size_t n = source.read(buf.data(), buf.size())) d.bytes.append(buf.data(), n);
  d.failure = source.failure();
  return d;
}

// Both sources on the same bytes, with random compressed piece and read sizes.
void expect_like_zlib(const Bytes& gz, std::uint64_t seed, const std::string& what) {
  std::mt19937_64 rng(seed);
  static constexpr std::size_t kSizes[] = {1, 3, 64, 4096, 300000, 1 << 22};
  std::size_t piece = kSizes[rng() % 6];
  piece = std::max(piece, gz.size() / 5000);  // keep huge streams quick
  const std::size_t read = std::max(kSizes[rng() % 6], std::size_t{1});
  const Drained v = run_velk(gz, seed, piece, read);
  const Drained z = run_zlib(gz, seed, piece);
  EXPECT_EQ(v.failure, z.failure) << what << " (seed " << seed << ")";
  EXPECT_EQ(v.bytes.size(), z.bytes.size()) << what << " (seed " << seed << ") " << z.failure.value_or("ok");
  EXPECT_TRUE(v.bytes == z.bytes) << what << " (seed " << seed << ")";
}

std::size_t random_size(std::mt19937_64& rng) {
  switch (rng() % 8) {
    case 0:
      return rng() % 4;
    case 1:
    case 2:
    case 3:
      return rng() % 2000;
    case 4:
    case 5:
      return rng() % 70000;
    case 6:
      return rng() % 400000;
    default:
      return rng() % 3000000;
  }
}

TEST(GzipByteSource, ValidStreamsDecodeLikeZlib) {
  std::mt19937_64 rng(1);
  for (int i = 0; i < 160; ++i) {
    Bytes gz;
    std::string all;
    const int members = rng() % 4 == 0 ? 1 + static_cast<int>(rng() % 3) : 1;
    for (int m = 0; m < members; ++m) {
      const Bytes plain = plain_input(rng, random_size(rng));
      const Bytes member = gzip_member(plain, rng);
      gz.insert(gz.end(), member.begin(), member.end());
      all.append(plain.begin(), plain.end());
    }
    switch (rng() % 5) {  // what follows the last member ends the input quietly
      case 0:
        gz.insert(gz.end(), 1 + rng() % 600, 0);
        break;
      case 1:
        gz.push_back(0x1f);
        break;
      case 2:
        for (int k = 0; k < 20; ++k) gz.push_back(static_cast<std::uint8_t>(rng() | 1));
        break;
      default:
        break;
    }
    const std::uint64_t seed = rng();
    const Drained v = run_velk(gz, seed, std::max<std::size_t>(1 + rng() % 70000, gz.size() / 5000), 1 + rng() % 3000000);
    EXPECT_EQ(v.failure, std::nullopt) << "stream " << i;
    EXPECT_TRUE(v.bytes == all) << "stream " << i << ": " << v.bytes.size() << " bytes, expected " << all.size();
    expect_like_zlib(gz, seed, "valid stream " + std::to_string(i));
  }
}

TEST(GzipByteSource, CorruptedStreamsFailLikeZlib) {
  std::mt19937_64 rng(2);
  for (int i = 0; i < 400; ++i) {
    const Bytes plain = plain_input(rng, rng() % 3 == 0 ? rng() % 200000 : rng() % 3000);
    const Bytes gz = gzip_member(plain, rng);
    for (int c = 0; c < 6; ++c) {
      Bytes bad = gz;
      switch (rng() % 5) {
        case 0:  // flipped bits
          for (unsigned k = 0, n = 1 + rng() % 3; k < n; ++k) bad[rng() % bad.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
          break;
        case 1:  // a byte replaced
          bad[rng() % bad.size()] = static_cast<std::uint8_t>(rng());
          break;
        case 2:  // cut short
          bad.resize(rng() % bad.size());
          break;
        case 3: {  // a random run overwritten
          const std::size_t at = rng() % bad.size();
          for (std::size_t k = at; k < std::min(bad.size(), at + 1 + rng() % 40); ++k) bad[k] = static_cast<std::uint8_t>(rng());
          break;
        }
        default:  // bit flips in the deflate data only
          if (bad.size() > 20) bad[10 + rng() % (bad.size() - 18)] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
          break;
      }
      expect_like_zlib(bad, rng(), "corrupted stream " + std::to_string(i) + "." + std::to_string(c));
    }
  }
}

TEST(GzipByteSource, EveryTruncationFailsLikeZlib) {
  std::mt19937_64 rng(3);
  for (int i = 0; i < 12; ++i) {
    const Bytes plain = plain_input(rng, 50 + rng() % 1500);
    Bytes gz = gzip_member(plain, rng);
    const Bytes second = gzip_member(plain_input(rng, rng() % 300), rng);
    gz.insert(gz.end(), second.begin(), second.end());
    for (std::size_t cut = 0; cut <= gz.size(); ++cut) {
      expect_like_zlib(Bytes(gz.begin(), gz.begin() + static_cast<std::ptrdiff_t>(cut)), rng(),
                       "stream " + std::to_string(i) + " cut at " + std::to_string(cut));
    }
  }
}

TEST(GzipByteSource, RandomDeflateDataFailsLikeZlib) {
  // A valid header followed by random bits: random block types, code sets,
  // symbols and distances, mostly ending in one of zlib's complaints.
  std::mt19937_64 rng(4);
  for (int i = 0; i < 12000; ++i) {
    Bytes gz = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
    const std::size_t n = rng() % 3 == 0 ? rng() % 5000 : rng() % 60;
    for (std::size_t k = 0; k < n; ++k) gz.push_back(static_cast<std::uint8_t>(rng()));
    if (rng() % 2 && n > 0) gz[10] = static_cast<std::uint8_t>((gz[10] & ~6u) | 4u);  // a dynamic block
    expect_like_zlib(gz, rng(), "random deflate data " + std::to_string(i));
  }
  for (int i = 0; i < 2000; ++i) {  // and random headers
    Bytes gz = {0x1f, 0x8b};
    for (std::size_t k = 0, n = rng() % 40; k < n; ++k) gz.push_back(static_cast<std::uint8_t>(rng() % 4 ? rng() : 0));
    if (gz.size() > 2 && rng() % 2) gz[2] = 8;
    if (gz.size() > 3 && rng() % 2) gz[3] &= 0x1f;
    expect_like_zlib(gz, rng(), "random header " + std::to_string(i));
  }
}

// ---- hand-made streams

// DEFLATE bits, first bit lowest; Huffman codewords go out from their top bit.
struct BitWriter {
  Bytes out;
  std::uint64_t acc = 0;
  unsigned n = 0;
  void bits(std::uint32_t v, unsigned count) {
    acc |= std::uint64_t{v} << n;
    n += count;
    while (n >= 8) {
      out.push_back(static_cast<std::uint8_t>(acc));
      acc >>= 8;
      n -= 8;
    }
  }
  void code(std::uint32_t c, unsigned len) {
    for (unsigned i = len; i-- > 0;) bits((c >> i) & 1u, 1);
  }
  void align() {
    if (n > 0) bits(0, 8 - n);
  }
  // Fixed-code symbols.
  void fixed_lit(unsigned sym) {
    if (sym < 144) return code(0x30 + sym, 8);
    if (sym < 256) return code(0x190 + sym - 144, 9);
    if (sym < 280) return code(sym - 256, 7);
    code(0xc0 + sym - 280, 8);
  }
  void fixed_dist(unsigned sym) { code(sym, 5); }
};

std::vector<std::uint32_t> canonical_codes(const std::vector<std::uint8_t>& lens) {
  unsigned count[16] = {};
  for (auto l : lens) ++count[l];
  count[0] = 0;
  std::uint32_t next[16] = {};
  std::uint32_t code = 0;
  for (unsigned len = 1; len < 16; ++len) {
    code = (code + count[len - 1]) << 1;
    next[len] = code;
  }
  std::vector<std::uint32_t> codes(lens.size());
  for (std::size_t s = 0; s < lens.size(); ++s) {
    if (lens[s] != 0) codes[s] = next[lens[s]]++;
  }
  return codes;
}

Bytes gzip_wrap(const Bytes& deflate, const std::string& plain) {
  Bytes gz = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
  gz.insert(gz.end(), deflate.begin(), deflate.end());
  const auto crc = static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(plain.data()), static_cast<uInt>(plain.size())));
  const auto size = static_cast<std::uint32_t>(plain.size());
  for (int i = 0; i < 4; ++i) gz.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
  for (int i = 0; i < 4; ++i) gz.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
  return gz;
}

Drained decode(const Bytes& gz) { return run_velk(gz, 7, 1 << 20, 1 << 20); }

void expect_failure(const Bytes& gz, const std::string& text, const std::string& what) {
  EXPECT_EQ(decode(gz).failure, std::optional<std::string>(text)) << what;
  expect_like_zlib(gz, 11, what);
  expect_like_zlib(gz, 12, what);
}

// A dynamic block header: `cl` the code-length code's lengths (symbol order),
// then the literal/length and distance lengths sent one symbol each (all of
// them must have a codeword in `cl`), or the raw code-length symbols `raw`
// ({symbol, extra value}) when given.
void dynamic_header(BitWriter& w, bool final, const std::vector<std::uint8_t>& cl, unsigned nlen, unsigned ndist,
                    const std::vector<std::uint8_t>& lens, const std::vector<std::array<unsigned, 2>>& raw = {}) {
  static constexpr unsigned kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  w.bits(final ? 1 : 0, 1);
  w.bits(2, 2);
  w.bits(nlen - 257, 5);
  w.bits(ndist - 1, 5);
  w.bits(19 - 4, 4);
  for (unsigned i = 0; i < 19; ++i) w.bits(cl[kOrder[i]], 3);
  const auto codes = canonical_codes(cl);
  if (raw.empty()) {
    for (auto l : lens) w.code(codes[l], cl[l]);
  } else {
    for (auto [sym, extra] : raw) {
      w.code(codes[sym], cl[sym]);
      if (sym == 16) w.bits(extra, 2);
      if (sym == 17) w.bits(extra, 3);
      if (sym == 18) w.bits(extra, 7);
    }
  }
}

// Code lengths 0..15 each of four bits: any length sequence can be sent.
std::vector<std::uint8_t> flat_cl() {
  std::vector<std::uint8_t> cl(19, 0);
  for (unsigned s = 0; s < 16; ++s) cl[s] = 4;
  return cl;
}

TEST(GzipByteSource, HostileDeflateStreams) {
  {  // a stored block claiming more than there is
    BitWriter w;
    w.bits(1, 1);
    w.bits(0, 2);
    w.align();
    w.bits(0xffff, 16);
    w.bits(0, 16);
    for (int i = 0; i < 10; ++i) w.bits('a', 8);
    expect_failure(gzip_wrap(w.out, ""), "truncated gzip stream", "short stored block");
  }
  {
    BitWriter w;
    w.bits(1, 1);
    w.bits(0, 2);
    w.align();
    w.bits(5, 16);
    w.bits(5, 16);
    expect_failure(gzip_wrap(w.out, ""), "corrupt gzip stream: invalid stored block lengths", "stored lengths");
  }
  {
    BitWriter w;
    w.bits(1, 1);
    w.bits(3, 2);
    w.bits(0, 16);
    expect_failure(gzip_wrap(w.out, ""), "corrupt gzip stream: invalid block type", "block type 3");
  }
  {  // a distance reaching before the first byte
    BitWriter w;
    w.bits(1, 1);
    w.bits(1, 2);
    w.fixed_lit('a');
    w.fixed_lit(257);
    w.fixed_dist(1);  // distance 2
    w.fixed_lit(256);
    w.bits(0, 16);
    expect_failure(gzip_wrap(w.out, "a"), "corrupt gzip stream: invalid distance too far back", "too far back");
  }
  {  // fixed-code symbols that have no meaning
    for (unsigned sym : {286u, 287u}) {
      BitWriter w;
      w.bits(1, 1);
      w.bits(1, 2);
      w.fixed_lit(sym);
      w.bits(0, 16);
      expect_failure(gzip_wrap(w.out, ""), "corrupt gzip stream: invalid literal/length code", "fixed 286/287");
    }
    for (unsigned sym : {30u, 31u}) {
      BitWriter w;
      w.bits(1, 1);
      w.bits(1, 2);
      w.fixed_lit('a');
      w.fixed_lit('b');
      w.fixed_lit(257);
      w.fixed_dist(sym);
      w.bits(0, 16);
      expect_failure(gzip_wrap(w.out, ""), "corrupt gzip stream: invalid distance code", "fixed distance 30/31");
    }
  }
  {
    BitWriter w;
    w.bits(1, 1);
    w.bits(2, 2);
    w.bits(30, 5);  // 287 literal/length codes
    w.bits(0, 5);
    w.bits(0, 4);
    w.bits(0, 32);
    expect_failure(gzip_wrap(w.out, ""), "corrupt gzip stream: too many length or distance symbols", "too many");
  }
  {  // over-subscribed and incomplete code-length codes
    std::vector<std::uint8_t> over(19, 1), partial(19, 0);
    partial[0] = 2;
    partial[8] = 2;
    for (const auto& cl : {over, partial}) {
      BitWriter w;
      dynamic_header(w, true, cl, 257, 1, {});
      w.bits(0, 32);
      expect_failure(gzip_wrap(w.out, ""), "corrupt gzip stream: invalid code lengths set", "code-length code");
    }
  }
  {  // no code-length code at all: zlib reads every length as 0 from one bit
    BitWriter w;
    dynamic_header(w, true, std::vector<std::uint8_t>(19, 0), 257, 1, {});
    for (int i = 0; i < 40; ++i) w.bits(0, 8);
    expect_failure(gzip_wrap(w.out, ""), "corrupt gzip stream: invalid code -- missing end-of-block", "empty cl");
  }
  {
    std::vector<std::uint8_t> cl = flat_cl();
    cl[15] = 0;
    cl[16] = 4;
    BitWriter w;
    dynamic_header(w, true, cl, 257, 1, {}, {{16, 0}});
    w.bits(0, 32);
    expect_failure(gzip_wrap(w.out, ""), "corrupt gzip stream: invalid bit length repeat", "repeat first");
    BitWriter w2;
    cl = flat_cl();
    cl[15] = 0;
    cl[18] = 4;
    dynamic_header(w2, true, cl, 257, 1, {}, {{18, 127}, {18, 127}, {18, 127}});
    w2.bits(0, 32);
    expect_failure(gzip_wrap(w2.out, ""), "corrupt gzip stream: invalid bit length repeat", "repeat past end");
  }
  {
    std::vector<std::uint8_t> lens(258, 0);
    lens['a'] = 1;
    lens[257] = 1;  // no end-of-block
    lens.push_back(1);
    BitWriter w;
    dynamic_header(w, true, flat_cl(), 258, 1, lens);
    w.bits(0, 32);
    expect_failure(gzip_wrap(w.out, ""), "corrupt gzip stream: invalid code -- missing end-of-block", "no EOB");
  }
  {  // literal/length sets: over-subscribed, incomplete
    for (int kind = 0; kind < 2; ++kind) {
      std::vector<std::uint8_t> lens(257, 0);
      lens['a'] = 1;
      lens['b'] = kind == 0 ? 1 : 2;
      lens[256] = kind == 0 ? 1 : 3;
      lens.push_back(1);
      BitWriter w;
      dynamic_header(w, true, flat_cl(), 257, 1, lens);
      w.bits(0, 32);
      expect_failure(gzip_wrap(w.out, ""), "corrupt gzip stream: invalid literal/lengths set", "litlen set");
    }
  }
  {
    std::vector<std::uint8_t> lens(257, 0);
    lens['a'] = 1;
    lens[256] = 1;
    lens.insert(lens.end(), {1, 1, 1});
    BitWriter w;
    dynamic_header(w, true, flat_cl(), 257, 3, lens);
    w.bits(0, 32);
    expect_failure(gzip_wrap(w.out, ""), "corrupt gzip stream: invalid distances set", "distance set");
  }
  {  // one distance codeword of one bit: its other half is no code
    std::vector<std::uint8_t> lens(258, 0);
    lens['a'] = 1;
    lens[256] = 2;
    lens[257] = 2;
    lens.push_back(1);
    const auto lit = canonical_codes(std::vector<std::uint8_t>(lens.begin(), lens.begin() + 258));
    for (unsigned dist_code : {0u, 1u}) {
      BitWriter w;
      dynamic_header(w, true, flat_cl(), 258, 1, lens);
      w.code(lit['a'], 1);
      w.code(lit[257], 2);
      w.code(dist_code, 1);
      w.code(lit[256], 2);
      w.align();
      if (dist_code == 0) {
        const Bytes gz = gzip_wrap(w.out, "aaaa");
        EXPECT_EQ(decode(gz), (Drained{"aaaa", std::nullopt}));
        expect_like_zlib(gz, 5, "single distance code");
      } else {
        expect_failure(gzip_wrap(w.out, "a"), "corrupt gzip stream: invalid distance code", "missing distance code");
      }
    }
  }
  {  // no distance codes at all, then a match
    std::vector<std::uint8_t> lens(258, 0);
    lens['a'] = 1;
    lens[256] = 2;
    lens[257] = 2;
    lens.push_back(0);
    const auto lit = canonical_codes(std::vector<std::uint8_t>(lens.begin(), lens.begin() + 258));
    BitWriter w;
    dynamic_header(w, true, flat_cl(), 258, 1, lens);
    w.code(lit['a'], 1);
    w.code(lit[257], 2);
    w.bits(0, 16);
    expect_failure(gzip_wrap(w.out, "a"), "corrupt gzip stream: invalid distance code", "no distance codes");
  }
}

TEST(GzipByteSource, EndlessEmptyBlocksAndMembersFinish) {
  {
    BitWriter w;
    for (int i = 0; i < 200000; ++i) {  // empty stored blocks: five bytes each, no output
      w.bits(0, 3);
      w.align();
      w.bits(0, 16);
      w.bits(0xffff, 16);
    }
    w.bits(1, 1);
    w.bits(1, 2);
    w.fixed_lit(256);
    w.align();
    const Bytes gz = gzip_wrap(w.out, "");
    EXPECT_EQ(decode(gz), (Drained{"", std::nullopt}));
    expect_like_zlib(gz, 3, "empty stored blocks");
  }
  {
    Bytes gz;
    const Bytes empty = gzip_wrap({3, 0}, "");  // a final fixed block holding only its end
    for (int i = 0; i < 50000; ++i) gz.insert(gz.end(), empty.begin(), empty.end());
    EXPECT_EQ(decode(gz), (Drained{"", std::nullopt}));
    expect_like_zlib(gz, 4, "empty members");
  }
}

TEST(GzipByteSource, HeaderAndTrailerFaults) {
  const Bytes good = gzip_wrap({3, 0}, "");
  expect_failure({}, "truncated gzip stream", "empty input");
  expect_failure({0x1f}, "truncated gzip stream", "one byte");
  expect_failure({'h', 'i', '\n'}, "corrupt gzip stream: incorrect header check", "not gzip");
  Bytes b = good;
  b[2] = 7;
  expect_failure(b, "corrupt gzip stream: unknown compression method", "method");
  b = good;
  b[3] = 0x20;
  expect_failure(b, "corrupt gzip stream: unknown header flags set", "reserved flag");
  b = good;
  b[3] = 0x02;  // a header CRC that is not there: the deflate bytes read as one
  b.insert(b.begin() + 10, {0x12, 0x34});
  expect_failure(b, "corrupt gzip stream: header crc mismatch", "header crc");
  b = good;
  b[3] = 0x04;
  b.insert(b.begin() + 10, {0xff, 0xff, 1, 2, 3});
  expect_failure(b, "truncated gzip stream", "huge extra field");
  b = {0x1f, 0x8b, 8, 0x08, 0, 0, 0, 0, 0, 3};
  b.insert(b.end(), 1 << 20, 'n');  // a name without its end
  expect_failure(b, "truncated gzip stream", "endless name");
  b = good;
  b[b.size() - 8] ^= 1;
  expect_failure(b, "corrupt gzip stream: incorrect data check", "crc");
  b = good;
  b[b.size() - 1] ^= 1;
  expect_failure(b, "corrupt gzip stream: incorrect length check", "size");
  // After a member: a lone magic byte, zero padding or garbage end the input;
  // a second header that breaks off is a truncation.
  for (const Bytes& tail : {Bytes{0x1f}, Bytes(100, 0), Bytes{'x', 'y', 'z'}, Bytes{0x1f, 0x8a}}) {
    b = good;
    b.insert(b.end(), tail.begin(), tail.end());
    EXPECT_EQ(decode(b), (Drained{"", std::nullopt}));
    expect_like_zlib(b, 9, "tail");
  }
  b = good;
  b.insert(b.end(), {0x1f, 0x8b});
  expect_failure(b, "truncated gzip stream", "second header cut");
}

TEST(GzipCrc32, SameAsZlibForEveryLengthAndAlignment) {
  std::mt19937_64 rng(8);
  Bytes data(1 << 20);
  for (auto& c : data) c = static_cast<std::uint8_t>(rng());
  for (int i = 0; i < 3000; ++i) {
    const std::size_t at = rng() % 64;
    const std::size_t n = i < 600 ? static_cast<std::size_t>(i) : rng() % (i % 10 == 0 ? data.size() - 64 : 5000);
    const auto seed = static_cast<std::uint32_t>(i % 3 == 0 ? 0 : rng());
    const auto expected = static_cast<std::uint32_t>(crc32(seed, data.data() + at, static_cast<uInt>(n)));
    ASSERT_EQ(gzip_crc32(seed, data.data() + at, n), expected) << n << " bytes at " << at;
  }
}

// The decoder alone with a small window and input trickling in: the history
// must survive every slide, and pieces may end anywhere.
TEST(Inflater, SmallWindowAndTricklingInput) {
  std::mt19937_64 rng(6);
  for (int i = 0; i < 40; ++i) {
    const Bytes plain = plain_input(rng, rng() % 300000);
    z_stream zs{};
    deflateInit2(&zs, static_cast<int>(rng() % 10), Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes packed(deflateBound(&zs, plain.size()) + 64);
    zs.next_in = const_cast<Bytef*>(plain.data());
    zs.avail_in = static_cast<uInt>(plain.size());
    zs.next_out = packed.data();
    zs.avail_out = static_cast<uInt>(packed.size());
    ASSERT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    packed.resize(zs.total_out);
    deflateEnd(&zs);
    packed.insert(packed.end(), {9, 9, 9});  // bytes after the stream stay unread

    Inflater inflater(1024 + rng() % 5000);
    inflater.start();
    Bytes buffer;
    std::size_t pos = 0, fed = 0;
    Bytes out;
    Inflater::Status status;
    for (;;) {
      status = inflater.run(buffer.data(), pos, buffer.size(), fed == packed.size());
      out.insert(out.end(), inflater.pending(), inflater.pending() + inflater.pending_size());
      inflater.take(inflater.pending_size());
      if (status == Inflater::Status::kNeedInput) {
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(pos));
        pos = 0;
        const std::size_t n = std::min<std::size_t>(packed.size() - fed, 1 + rng() % 3000);
        buffer.insert(buffer.end(), packed.begin() + static_cast<std::ptrdiff_t>(fed),
                      packed.begin() + static_cast<std::ptrdiff_t>(fed + n));
        fed += n;
      } else if (status != Inflater::Status::kOutputFull) {
        break;
      }
    }
    ASSERT_EQ(status, Inflater::Status::kEnd) << i;
    EXPECT_TRUE(out == plain) << i;
    EXPECT_EQ(packed.size() - fed + buffer.size() - pos, 3u) << i;
  }
}

}  // namespace
}  // namespace velk
