#include "io/inflate.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velk {
namespace {

// Decoding tables. Each entry is a 32-bit word:
//   bits 0-7   bits to consume: the codeword plus any extra bits that follow
//              it (for a subtable link: the root bits)
//   bits 8-11  the codeword's length (for a subtable link: the subtable's
//              index bits)
//   bits 12-15 flags below
//   bits 16-31 the literal byte, a length or distance base, the code-length
//              symbol, or a subtable's offset in the table
// A codeword longer than the root table's index is found in two steps: the
// root entry links to a subtable indexed by the codeword's remaining bits.
// An invalid entry's consume count is the number of bits zlib reads before
// it reports the code invalid (truncated input wins below that).
constexpr std::uint32_t kSubtable = 1u << 12;
constexpr std::uint32_t kEndOfBlock = 1u << 13;
constexpr std::uint32_t kInvalid = 1u << 14;
constexpr std::uint32_t kLiteral = 1u << 15;
constexpr std::uint32_t kExceptional = kSubtable | kEndOfBlock | kInvalid;

constexpr unsigned kLitRoot = 11;
constexpr unsigned kDistRoot = 8;
constexpr unsigned kCodeRoot = 7;
// Root tables plus room for every subtable a complete code can need: a
// subtable holds at least two codewords and at most 2^(15 - root) entries.
constexpr std::size_t kLitTableSize = (1u << kLitRoot) + 143 * (1u << (15 - kLitRoot));
constexpr std::size_t kDistTableSize = (1u << kDistRoot) + 16 * (1u << (15 - kDistRoot));
constexpr std::size_t kCodeTableSize = 1u << kCodeRoot;

constexpr unsigned kMaxLitLen = 288;
constexpr unsigned kMaxDist = 32;

// Room after the chunk for the longest write that may start before its
// limit: two literals, a 258-byte match and the overshoot of word copies.
constexpr std::size_t kWindowSlack = 512;
// The fast loop reads 8 bytes at a time, twice per symbol at most.
constexpr std::size_t kFastInput = 32;

constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                         33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                         1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                         6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// What a symbol decodes to, without its codeword length.
std::uint32_t litlen_info(unsigned sym) {
  if (sym < 256) return (sym << 16) | kLiteral;
  if (sym == 256) return kEndOfBlock;
  if (sym < 286) return (std::uint32_t{kLengthBase[sym - 257]} << 16) | kLengthExtra[sym - 257];
  return kInvalid;  // 286 and 287 exist only in the fixed code
}
std::uint32_t dist_info(unsigned sym) {
  if (sym < 30) return (std::uint32_t{kDistBase[sym]} << 16) | kDistExtra[sym];
  return kInvalid;  // 30 and 31 exist only in the fixed code
}

enum class Build { kOk, kBad, kEmpty };

// Builds a table from codeword lengths (canonical Huffman codes, bits
// reversed since DEFLATE sends codes from their first bit). Refuses
// over-subscribed sets and incomplete ones, except that a literal/length or
// distance code may have a single one-bit codeword (the other one decodes as
// invalid), as zlib allows. kEmpty: no codeword at all, the table is untouched.
Build build_table(std::uint32_t* table, std::size_t capacity, unsigned root, const std::uint8_t* lens, unsigned n,
                  const std::uint32_t* info, bool single_allowed) {
  unsigned count[16] = {};
  for (unsigned s = 0; s < n; ++s) ++count[lens[s]];
  unsigned max = 15;
  while (max > 0 && count[max] == 0) --max;
  if (max == 0) return Build::kEmpty;
  int left = 1;
  for (unsigned len = 1; len <= 15; ++len) {
    left = (left << 1) - static_cast<int>(count[len]);
    if (left < 0) return Build::kBad;
  }
  if (left > 0) {
    if (!single_allowed || max != 1) return Build::kBad;
    // One codeword of one bit ("0"): the other half is the missing one.
    for (std::size_t i = 0; i < (std::size_t{1} << root); ++i) table[i] = kInvalid | (1u << 8) | 1u;
  }
  unsigned offset[16];
  offset[1] = 0;
  for (unsigned len = 1; len < 15; ++len) offset[len + 1] = offset[len] + count[len];
  std::uint16_t sorted[kMaxLitLen];
  for (unsigned s = 0; s < n; ++s) {
    if (lens[s] != 0) sorted[offset[lens[s]]++] = static_cast<std::uint16_t>(s);
  }

  const std::size_t root_size = std::size_t{1} << root;
  std::size_t next_sub = root_size;
  std::size_t sub_start = 0;
  unsigned sub_bits = 0;
  std::size_t current_prefix = root_size;  // none yet
  unsigned remaining[16];
  std::copy(count, count + 16, remaining);
  unsigned code = 0;  // canonical codeword, first bit highest
  unsigned len = 1;
  const unsigned total = n - count[0];
  for (unsigned i = 0; i < total; ++i) {
    const unsigned sym = sorted[i];
    while (lens[sym] != len) {
      code <<= 1;
      ++len;
    }
    unsigned rev = 0;
    for (unsigned b = 0; b < len; ++b) rev |= ((code >> b) & 1u) << (len - 1 - b);
    if (len <= root) {
      const std::uint32_t e = info[sym] + (len << 8) + len;
      for (std::size_t k = rev; k < root_size; k += std::size_t{1} << len) table[k] = e;
    } else {
      const std::size_t prefix = rev & (root_size - 1);
      if (prefix != current_prefix) {
        // A new subtable, sized for the codewords that share this prefix.
        current_prefix = prefix;
        sub_bits = len - root;
        int space = 1 << sub_bits;
        while (sub_bits + root < max) {
          space -= static_cast<int>(remaining[sub_bits + root]);
          if (space <= 0) break;
          ++sub_bits;
          space <<= 1;
        }
        sub_start = next_sub;
        next_sub += std::size_t{1} << sub_bits;
        if (next_sub > capacity) return Build::kBad;  // cannot happen for a complete code
        table[prefix] = (static_cast<std::uint32_t>(sub_start) << 16) | kSubtable | (sub_bits << 8) | root;
      }
      const unsigned sub_len = len - root;
      const std::uint32_t e = info[sym] + (sub_len << 8) + sub_len;
      for (std::size_t k = rev >> root; k < (std::size_t{1} << sub_bits); k += std::size_t{1} << sub_len) {
        table[sub_start + k] = e;
      }
    }
    --remaining[len];
    ++code;
  }
  return Build::kOk;
}

struct FixedTables {
  std::uint32_t litlen[kLitTableSize];
  std::uint32_t dist[kDistTableSize];
  FixedTables() {
    std::uint8_t lens[kMaxLitLen];
    std::uint32_t info[kMaxLitLen];
    for (unsigned s = 0; s < kMaxLitLen; ++s) {
      lens[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
      info[s] = litlen_info(s);
    }
    build_table(litlen, kLitTableSize, kLitRoot, lens, kMaxLitLen, info, true);
    for (unsigned s = 0; s < kMaxDist; ++s) {
      lens[s] = 5;
      info[s] = dist_info(s);
    }
    build_table(dist, kDistTableSize, kDistRoot, lens, kMaxDist, info, true);
  }
};

const FixedTables& fixed_tables() {
  static const FixedTables tables;
  return tables;
}

std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // little-endian hosts only (x86-64, AArch64)
}
void store64(std::uint8_t* p, std::uint64_t v) { std::memcpy(p, &v, 8); }

// Copies a match of `len` bytes from `dist` bytes back, in words: may write
// up to 31 bytes past the match (the window's slack). Most matches are short
// and far: one or two 16-byte moves without a loop.
inline void copy_match_fast(std::uint8_t* out, std::size_t dist, std::size_t len) {
  std::uint8_t* const end = out + len;
  const std::uint8_t* src = out - dist;
  if (dist >= 16) {
    std::memcpy(out, src, 16);
    if (len > 16) {
      out += 16;
      src += 16;
      do {
        std::memcpy(out, src, 16);
        out += 16;
        src += 16;
      } while (out < end);
    }
  } else if (dist >= 8) {
    store64(out, load64(src));
    store64(out + 8, load64(src + 8));
    if (len > 16) {
      out += 16;
      src += 16;
      do {
        store64(out, load64(src));
        out += 8;
        src += 8;
      } while (out < end);
    }
  } else if (dist == 1) {
    const std::uint64_t v = 0x0101010101010101ull * src[0];
    do {
      store64(out, v);
      out += 8;
    } while (out < end);
  } else {
    // Lay down the pattern until it repeats at a distance of 8 or more,
    // then copy words from that distance.
    const std::size_t stride = dist * ((8 + dist - 1) / dist);
    for (std::size_t i = 0; i < stride; ++i) out[i] = src[i];
    std::uint8_t* p = out + stride;
    const std::uint8_t* s = out;
    while (p < end) {
      store64(p, load64(s));
      p += 8;
      s += 8;
    }
  }
}

}  // namespace

namespace {

std::uint32_t zlib_crc32(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const uInt piece = static_cast<uInt>(std::min<std::size_t>(n, UINT_MAX));
    crc = static_cast<std::uint32_t>(crc32(crc, p, piece));
    p += piece;
    n -= piece;
  }
  return crc;
}

#if defined(__x86_64__)
#define VELK_CLMUL __attribute__((target("pclmul,sse4.1")))

VELK_CLMUL inline __m128i load(const std::uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); }

// x * x^k: moves a lane forward and adds it to the lane there.
VELK_CLMUL inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// CRC-32 (bit-reflected, polynomial 0xEDB88320) of `n` bytes, n >= 64 and a
// multiple of 16, without the pre- and post-inversion: four 128-bit lanes
// are folded forward 512 bits at a time (x^(512+-32) mod P), then into one
// lane, then reduced to 64 and 32 bits and by Barrett reduction to the CRC.
VELK_CLMUL std::uint32_t crc32_fold(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
  const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
  const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
  const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
  const __m128i poly_mu = _mm_set_epi64x(0x1f7011641, 0x1db710641);
  const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
  __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = load(p + 16);
  __m128i x3 = load(p + 32);
  __m128i x4 = load(p + 48);
  p += 64;
  n -= 64;
  while (n >= 64) {
    x1 = fold(x1, k1k2, load(p));
    x2 = fold(x2, k1k2, load(p + 16));
    x3 = fold(x3, k1k2, load(p + 32));
    x4 = fold(x4, k1k2, load(p + 48));
    p += 64;
    n -= 64;
  }
  x1 = fold(x1, k3k4, x2);
  x1 = fold(x1, k3k4, x3);
  x1 = fold(x1, k3k4, x4);
  while (n >= 16) {
    x1 = fold(x1, k3k4, load(p));
    p += 16;
    n -= 16;
  }
  // 128 -> 64 bits, then 64 -> 32.
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(k3k4, x1, 0x01), _mm_srli_si128(x1, 8));
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k5, 0x00), _mm_srli_si128(x1, 4));
  // Barrett reduction.
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly_mu, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), poly_mu, 0x00);
  return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(t, x1), 1));
}

bool has_clmul() {
  static const bool yes = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return yes;
}
#endif

}  // namespace

std::uint32_t gzip_crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
#if defined(__x86_64__)
  if (size >= 64 && has_clmul()) {
    const std::size_t blocks = size & ~std::size_t{15};
    crc = ~crc32_fold(~crc, data, blocks);
    data += blocks;
    size -= blocks;
  }
#endif
  return zlib_crc32(crc, data, size);
}

struct Inflater::Tables {
  std::uint32_t litlen[kLitTableSize];
  std::uint32_t dist[kDistTableSize];
  std::uint32_t code[kCodeTableSize];
};

Inflater::Inflater(std::size_t chunk_bytes)
    : chunk_(std::max<std::size_t>(chunk_bytes, 1024)),
      window_(new std::uint8_t[kHistory + chunk_ + kWindowSlack]),
      limit_(kHistory + chunk_),
      tables_(new Tables) {}  // not zero-filled: each entry is written before it is read

Inflater::~Inflater() = default;

void Inflater::start() {
  history_ = write_;
  bitbuf_ = 0;
  bitsleft_ = 0;
  mode_ = Mode::kBlockHeader;
  final_block_ = false;
  stored_left_ = 0;
  message_ = nullptr;
}

Inflater::Status Inflater::fail(const char* message) {
  message_ = message;
  mode_ = Mode::kFailed;
  failed_status_ = Status::kError;
  return Status::kError;
}

Inflater::Status Inflater::truncated() {
  mode_ = Mode::kFailed;
  failed_status_ = Status::kTruncated;
  return Status::kTruncated;
}

// Gives the whole bytes still in the bit buffer back to the input.
void Inflater::unread_whole_bytes(std::size_t& pos) noexcept {
  pos -= bitsleft_ >> 3;
  bitsleft_ &= 7;
  bitbuf_ &= (std::uint64_t{1} << bitsleft_) - 1;
}

namespace {

// Loads input bytes one at a time up to 57..64 bits, or to the input's end.
inline void fill_careful(std::uint64_t& bitbuf, unsigned& bitsleft, const std::uint8_t* in, std::size_t& pos,
                         std::size_t end) {
  while (bitsleft <= 56 && pos < end) {
    bitbuf |= std::uint64_t{in[pos++]} << bitsleft;
    bitsleft += 8;
  }
}

// Looks a codeword up with no assumption on how many bits are present; a
// subtable entry comes back with the root bits added to both counts.
inline std::uint32_t lookup_careful(const std::uint32_t* table, unsigned root, std::uint64_t bitbuf) {
  std::uint32_t e = table[bitbuf & ((1u << root) - 1)];
  if (e & kSubtable) {
    const unsigned r = e & 0xff;
    const unsigned sub = (e >> 8) & 0xf;
    e = table[(e >> 16) + ((bitbuf >> r) & ((1u << sub) - 1))];
    e += r + (r << 8);
  }
  return e;
}

inline std::uint32_t extra_value(std::uint32_t e, std::uint64_t bitbuf) {
  const unsigned total = e & 0xff;
  return static_cast<std::uint32_t>((bitbuf & ((std::uint64_t{1} << total) - 1)) >> ((e >> 8) & 0xf));
}

}  // namespace

Inflater::Status Inflater::run(const std::uint8_t* in, std::size_t& pos, std::size_t end, bool eof) {
  for (;;) {
    if (mode_ == Mode::kFailed) return failed_status_;
    if (mode_ == Mode::kEnd) return Status::kEnd;
    if (write_ >= limit_) {
      if (read_ < write_) return Status::kOutputFull;
      // Everything was taken: keep only the history.
      const std::size_t shift = write_ - kHistory;
      std::memmove(window_.get(), window_.get() + shift, kHistory);
      write_ = read_ = kHistory;
      history_ = history_ > shift ? history_ - shift : 0;
    }
    switch (mode_) {
      case Mode::kBlockHeader: {
        if (!final_block_ && !eof && end - pos < kInputMargin) return Status::kNeedInput;
        const Status s = read_block_header(in, pos, end);
        if (s != Status::kOutputFull) return s;  // kOutputFull here means "go on"
        break;
      }
      case Mode::kStored: {
        const Status s = copy_stored(in, pos, end, eof);
        if (s != Status::kOutputFull) return s;
        break;
      }
      case Mode::kHuffman: {
        const Status s = decode_huffman(in, pos, end, eof);
        if (s != Status::kOutputFull) return s;
        break;
      }
      default:
        break;
    }
  }
}

// Reads a block header (and a dynamic block's code description). Returns
// kOutputFull to go on decoding, else the status to report. The caller made
// sure kInputMargin bytes are present unless the input is at its end.
Inflater::Status Inflater::read_block_header(const std::uint8_t* in, std::size_t& pos, std::size_t end) {
  if (final_block_) {
    // The stream's end: skip to the byte boundary.
    bitbuf_ >>= bitsleft_ & 7;
    bitsleft_ &= ~7u;
    unread_whole_bytes(pos);
    mode_ = Mode::kEnd;
    return Status::kEnd;
  }
  fill_careful(bitbuf_, bitsleft_, in, pos, end);
  if (bitsleft_ < 3) return truncated();
  final_block_ = (bitbuf_ & 1) != 0;
  const unsigned type = (bitbuf_ >> 1) & 3;
  bitbuf_ >>= 3;
  bitsleft_ -= 3;
  switch (type) {
    case 0: {
      bitbuf_ >>= bitsleft_ & 7;
      bitsleft_ &= ~7u;
      fill_careful(bitbuf_, bitsleft_, in, pos, end);
      if (bitsleft_ < 32) return truncated();
      const std::uint32_t len = bitbuf_ & 0xffff;
      const std::uint32_t nlen = (bitbuf_ >> 16) & 0xffff;
      if (len != (~nlen & 0xffff)) return fail("invalid stored block lengths");
      bitbuf_ >>= 32;
      bitsleft_ -= 32;
      unread_whole_bytes(pos);
      stored_left_ = len;
      mode_ = Mode::kStored;
      return Status::kOutputFull;
    }
    case 1:
      litlen_ = fixed_tables().litlen;
      dist_ = fixed_tables().dist;
      mode_ = Mode::kHuffman;
      return Status::kOutputFull;
    case 2:
      return read_dynamic_tables(in, pos, end);
    default:
      return fail("invalid block type");
  }
}

Inflater::Status Inflater::read_dynamic_tables(const std::uint8_t* in, std::size_t& pos, std::size_t end) {
  std::uint64_t bitbuf = bitbuf_;
  unsigned bitsleft = bitsleft_;
  const auto save = [&] {
    bitbuf_ = bitbuf;
    bitsleft_ = bitsleft;
  };
  fill_careful(bitbuf, bitsleft, in, pos, end);
  if (bitsleft < 14) return save(), truncated();
  const unsigned nlen = (bitbuf & 31) + 257;
  const unsigned ndist = ((bitbuf >> 5) & 31) + 1;
  const unsigned ncode = ((bitbuf >> 10) & 15) + 4;
  bitbuf >>= 14;
  bitsleft -= 14;
  if (nlen > 286 || ndist > 30) return save(), fail("too many length or distance symbols");

  std::uint8_t lens[kMaxLitLen + kMaxDist] = {};
  for (unsigned i = 0; i < ncode; ++i) {
    fill_careful(bitbuf, bitsleft, in, pos, end);
    if (bitsleft < 3) return save(), truncated();
    lens[kCodeLengthOrder[i]] = bitbuf & 7;
    bitbuf >>= 3;
    bitsleft -= 3;
  }
  std::uint32_t code_info[19];
  for (unsigned s = 0; s < 19; ++s) code_info[s] = s << 16;
  std::uint32_t* const code_table = tables_->code;
  switch (build_table(code_table, kCodeTableSize, kCodeRoot, lens, 19, code_info, false)) {
    case Build::kBad:
      return save(), fail("invalid code lengths set");
    case Build::kEmpty:
      // zlib decodes every code length as 0 from one bit then.
      std::fill(code_table, code_table + kCodeTableSize, (1u << 8) | 1u);
      break;
    case Build::kOk:
      break;
  }

  const unsigned total = nlen + ndist;
  unsigned have = 0;
  while (have < total) {
    fill_careful(bitbuf, bitsleft, in, pos, end);
    const std::uint32_t e = code_table[bitbuf & ((1u << kCodeRoot) - 1)];
    const unsigned bits = e & 0xff;
    const unsigned sym = e >> 16;
    if (bits > bitsleft) return save(), truncated();
    if (sym < 16) {
      bitbuf >>= bits;
      bitsleft -= bits;
      lens[have++] = static_cast<std::uint8_t>(sym);
      continue;
    }
    const unsigned extra = sym == 16 ? 2 : sym == 17 ? 3 : 7;
    if (bits + extra > bitsleft) return save(), truncated();
    bitbuf >>= bits;
    bitsleft -= bits;
    const unsigned value = bitbuf & ((1u << extra) - 1);
    bitbuf >>= extra;
    bitsleft -= extra;
    std::uint8_t len = 0;
    unsigned repeat;
    if (sym == 16) {
      if (have == 0) return save(), fail("invalid bit length repeat");
      len = lens[have - 1];
      repeat = 3 + value;
    } else if (sym == 17) {
      repeat = 3 + value;
    } else {
      repeat = 11 + value;
    }
    if (have + repeat > total) return save(), fail("invalid bit length repeat");
    std::fill(lens + have, lens + have + repeat, len);
    have += repeat;
  }
  save();
  if (lens[256] == 0) return fail("invalid code -- missing end-of-block");

  std::uint32_t info[kMaxLitLen];
  for (unsigned s = 0; s < nlen; ++s) info[s] = litlen_info(s);
  if (build_table(tables_->litlen, kLitTableSize, kLitRoot, lens, nlen, info, true) != Build::kOk) {
    return fail("invalid literal/lengths set");  // never empty: end-of-block has a codeword
  }
  for (unsigned s = 0; s < ndist; ++s) info[s] = dist_info(s);
  switch (build_table(tables_->dist, kDistTableSize, kDistRoot, lens + nlen, ndist, info, true)) {
    case Build::kBad:
      return fail("invalid distances set");
    case Build::kEmpty:
      // No distance codes: a block of literals only; any match is invalid.
      std::fill(tables_->dist, tables_->dist + (1u << kDistRoot), kInvalid | (1u << 8) | 1u);
      break;
    case Build::kOk:
      break;
  }
  litlen_ = tables_->litlen;
  dist_ = tables_->dist;
  mode_ = Mode::kHuffman;
  return Status::kOutputFull;
}

Inflater::Status Inflater::copy_stored(const std::uint8_t* in, std::size_t& pos, std::size_t end, bool eof) {
  const std::size_t n = std::min({std::size_t{stored_left_}, end - pos, limit_ - write_});
  std::memcpy(window_.get() + write_, in + pos, n);
  write_ += n;
  pos += n;
  stored_left_ -= static_cast<std::uint32_t>(n);
  if (stored_left_ == 0) {
    mode_ = Mode::kBlockHeader;
    return Status::kOutputFull;
  }
  if (pos == end) return eof ? truncated() : Status::kNeedInput;
  return Status::kOutputFull;  // the chunk is full
}

Inflater::Status Inflater::decode_huffman(const std::uint8_t* in, std::size_t& pos, std::size_t end, bool eof) {
  std::uint8_t* const win = window_.get();
  std::uint8_t* out = win + write_;
  std::uint8_t* const out_limit = win + limit_;
  const std::uint8_t* const hist = win + history_;
  const std::uint32_t* const lt = litlen_;
  const std::uint32_t* const dt = dist_;
  std::uint64_t bitbuf = bitbuf_;
  unsigned bitsleft = bitsleft_;

  const auto save = [&] {
    write_ = static_cast<std::size_t>(out - win);
    bitbuf_ = bitbuf;
    bitsleft_ = bitsleft;
  };
  const auto block_end = [&] {
    mode_ = Mode::kBlockHeader;
    save();
    return Status::kOutputFull;
  };

  constexpr std::uint64_t kLitMask = (1u << kLitRoot) - 1;
  constexpr std::uint64_t kDistMask = (1u << kDistRoot) - 1;

  if (end - pos >= kFastInput) {
    // Fast loop: at least kFastInput bytes of input and room for a whole
    // match remain. Each round refills the bit buffer with one unaligned
    // 8-byte load (no branches) and then decodes either up to three
    // literals or one match: at most 48 bits, so the refill covers it. A
    // refill leaves all 64 bits of the buffer holding input (`bitsleft`
    // counts only whole bytes' worth), so after a round at least 16 bits are
    // still real and the next entry is looked up before the next refill,
    // which then overlaps with it.
    const std::uint8_t* ip = in + pos;
    const std::uint8_t* const ip_end = in + end - kFastInput;
    const auto refill = [&] {
      bitbuf |= load64(ip) << bitsleft;
      ip += (63 - bitsleft) >> 3;
      bitsleft |= 56;
    };
    const auto consume = [&](unsigned n) {
      bitbuf >>= n;
      bitsleft -= n;
    };
    Status status = Status::kOutputFull;
    bool stopped = false;
    refill();
    std::uint32_t e = lt[bitbuf & kLitMask];
    while (ip <= ip_end && out < out_limit) {
      refill();
      if (e & kLiteral) {
        consume(e & 0xff);
        std::uint8_t lit = static_cast<std::uint8_t>(e >> 16);
        e = lt[bitbuf & kLitMask];
        *out++ = lit;
        if (e & kLiteral) {
          consume(e & 0xff);
          lit = static_cast<std::uint8_t>(e >> 16);
          e = lt[bitbuf & kLitMask];
          *out++ = lit;
          if (e & kLiteral) {
            consume(e & 0xff);
            lit = static_cast<std::uint8_t>(e >> 16);
            e = lt[bitbuf & kLitMask];
            *out++ = lit;
          }
        }
        continue;
      }
      if (e & kExceptional) {
        if (e & kSubtable) {
          consume(e & 0xff);
          e = lt[(e >> 16) + (bitbuf & ((1u << ((e >> 8) & 0xf)) - 1))];
          if (e & kLiteral) {
            consume(e & 0xff);
            *out++ = static_cast<std::uint8_t>(e >> 16);
            e = lt[bitbuf & kLitMask];
            continue;
          }
        }
        if (e & kEndOfBlock) {
          consume(e & 0xff);
          stopped = true;
          status = Status::kOutputFull;
          mode_ = Mode::kBlockHeader;
          break;
        }
        if (e & kInvalid) {
          stopped = true;
          status = fail("invalid literal/length code");
          break;
        }
      }
      const std::uint32_t length = (e >> 16) + extra_value(e, bitbuf);
      consume(e & 0xff);
      std::uint32_t d = dt[bitbuf & kDistMask];
      if (d & kExceptional) {
        if (d & kSubtable) {
          consume(d & 0xff);
          d = dt[(d >> 16) + (bitbuf & ((1u << ((d >> 8) & 0xf)) - 1))];
        }
        if (d & kInvalid) {
          stopped = true;
          status = fail("invalid distance code");
          break;
        }
      }
      const std::uint32_t dist = (d >> 16) + extra_value(d, bitbuf);
      consume(d & 0xff);
      e = lt[bitbuf & kLitMask];
      if (dist > static_cast<std::size_t>(out - hist)) {
        stopped = true;
        status = fail("invalid distance too far back");
        break;
      }
      copy_match_fast(out, dist, length);
      out += length;
    }
    // Bits above `bitsleft` are dropped: the bytes they came from are read again.
    bitbuf &= (std::uint64_t{1} << bitsleft) - 1;
    pos = static_cast<std::size_t>(ip - in);
    save();
    unread_whole_bytes(pos);
    if (stopped) return status;
    if (out >= out_limit) return Status::kOutputFull;
    bitbuf = bitbuf_;
    bitsleft = bitsleft_;
  }

  // Careful loop: near the end of the input. Each step checks that the bits
  // it uses are present, in the order zlib reads them.
  for (;;) {
    if (out >= out_limit) {
      save();
      unread_whole_bytes(pos);
      return Status::kOutputFull;
    }
    if (!eof && end - pos < kInputMargin) {
      save();
      unread_whole_bytes(pos);
      return Status::kNeedInput;
    }
    fill_careful(bitbuf, bitsleft, in, pos, end);
    const std::uint32_t e = lookup_careful(lt, kLitRoot, bitbuf);
    const unsigned bits = e & 0xff;
    if (bits > bitsleft) return save(), truncated();
    if (e & kLiteral) {
      bitbuf >>= bits;
      bitsleft -= bits;
      *out++ = static_cast<std::uint8_t>(e >> 16);
      continue;
    }
    if (e & kEndOfBlock) {
      bitbuf >>= bits;
      bitsleft -= bits;
      return block_end();
    }
    if (e & kInvalid) return save(), fail("invalid literal/length code");
    const std::uint32_t length = (e >> 16) + extra_value(e, bitbuf);
    bitbuf >>= bits;
    bitsleft -= bits;
    fill_careful(bitbuf, bitsleft, in, pos, end);
    const std::uint32_t d = lookup_careful(dt, kDistRoot, bitbuf);
    const unsigned dbits = d & 0xff;
    if (dbits > bitsleft) return save(), truncated();
    if (d & kInvalid) return save(), fail("invalid distance code");
    const std::uint32_t dist = (d >> 16) + extra_value(d, bitbuf);
    bitbuf >>= dbits;
    bitsleft -= dbits;
    if (dist > static_cast<std::size_t>(out - hist)) return save(), fail("invalid distance too far back");
    const std::uint8_t* src = out - dist;
    for (std::uint32_t i = 0; i < length; ++i) out[i] = src[i];
    out += length;
  }
}

}  // namespace velk
