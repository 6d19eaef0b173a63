#include "formats/vcd/vcd_chunk_parser.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "io/text.h"
#include "model/bitpack.h"

namespace velk {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;

// High bit set in every byte of `x` that is zero, and nowhere else.
constexpr std::uint64_t zero_bytes(std::uint64_t x) noexcept { return ~(((x & kLow7) + kLow7) | x | kLow7); }

std::uint64_t load8(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

bool all_ascii(std::string_view s) noexcept {
  std::size_t i = 0;
  std::uint64_t acc = 0;
#ifdef __SSE2__
  // A whole block is checked before it is parsed: 64 bytes at a time.
  __m128i wide = _mm_setzero_si128();
  for (; i + 64 <= s.size(); i += 64) {
    const auto* p = reinterpret_cast<const __m128i*>(s.data() + i);
    wide = _mm_or_si128(wide, _mm_or_si128(_mm_or_si128(_mm_loadu_si128(p), _mm_loadu_si128(p + 1)),
                                           _mm_or_si128(_mm_loadu_si128(p + 2), _mm_loadu_si128(p + 3))));
  }
  if (_mm_movemask_epi8(wide) != 0) return false;
#endif
  for (; i + 8 <= s.size(); i += 8) acc |= load8(s.data() + i);
  for (; i < s.size(); ++i) acc |= static_cast<unsigned char>(s[i]);
  return (acc & 0x8080808080808080ULL) == 0;
}

bool is_ascii_space(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Trimming for a line known to be ASCII, where the only white space is ASCII.
std::string_view trim_ascii(std::string_view s) noexcept {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && is_ascii_space(s[b])) ++b;
  while (e > b && is_ascii_space(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// One '1' bit per character that is '1', first character most significant:
// eight characters at a time.
std::uint8_t ones_of8(const char* p) noexcept {
  const std::uint64_t w = __builtin_bswap64(load8(p));  // first character in the top byte
  const std::uint64_t m = zero_bytes(w ^ (kOnes * '1')) >> 7;
  return static_cast<std::uint8_t>((m * 0x0102040810204080ULL) >> 56);
}

bool has_x_or_z8(const char* p) noexcept {
  const std::uint64_t lower = load8(p) | (kOnes * 0x20);  // ASCII: X->x, Z->z
  return (zero_bytes(lower ^ (kOnes * 'x')) | zero_bytes(lower ^ (kOnes * 'z'))) != 0;
}

bool is_x_or_z(char c) noexcept { return c == 'x' || c == 'X' || c == 'z' || c == 'Z'; }

// parse_binary_str for an ASCII bit string with its leading 'b': the common
// all-known case is packed eight characters at a time; anything with an x or
// a z takes the general path.
SignalValue parse_binary_ascii(std::string_view text) {
  std::string_view digits = text.substr(1);
  if (digits.empty()) return SignalValue::empty();
  const char* p = digits.data();
  const std::size_t n = digits.size();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    if (has_x_or_z8(p + i)) return parse_binary_str(text);
  }
  for (; i < n; ++i) {
    if (is_x_or_z(p[i])) return parse_binary_str(text);
  }
  // Only the last 64 characters reach the 64-bit value.
  std::size_t start = n > 64 ? n - 64 : 0;
  std::uint64_t acc = 0;
  for (; (n - start) % 8 != 0; ++start) acc = (acc << 1) | (p[start] == '1' ? 1 : 0);
  for (; start < n; start += 8) acc = (acc << 8) | ones_of8(p + start);
  return SignalValue::bits(acc);
}

// The first line feed in [p, end), or end. Value-change lines are short, so
// the first words are tested here; a long line goes to memchr.
[[gnu::always_inline]] inline const char* find_newline(const char* p, const char* end) noexcept {
  for (int i = 0; i < 4 && end - p >= 8; ++i, p += 8) {
    const std::uint64_t m = zero_bytes(load8(p) ^ (kOnes * '\n'));
    if (m != 0) return p + (std::countr_zero(m) >> 3);
  }
  const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
  return nl ? static_cast<const char*>(nl) : end;
}

// `x` with its bits in the opposite order.
constexpr std::uint64_t reverse_bits(std::uint64_t x) noexcept {
  x = __builtin_bswap64(x);
  x = ((x >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((x & 0x0F0F0F0F0F0F0F0FULL) << 4);
  x = ((x >> 2) & 0x3333333333333333ULL) | ((x & 0x3333333333333333ULL) << 2);
  return ((x >> 1) & 0x5555555555555555ULL) | ((x & 0x5555555555555555ULL) << 1);
}
static_assert(reverse_bits(1) == std::uint64_t{1} << 63 && reverse_bits(0x8000000000000002ULL) == 0x4000000000000001ULL);

// The low bits of the first `k` (1..8) characters of `w` (first character in
// the lowest byte), first character most significant.
std::uint64_t gather_bits(std::uint64_t w, unsigned k) noexcept {
  if (k < 8) w &= (std::uint64_t{1} << (8 * k)) - 1;
  const std::uint64_t eight = ((__builtin_bswap64(w) & kOnes) * 0x0102040810204080ULL) >> 56;
  return eight >> (8 - k);
}

// Where the digits of a bit string stop, and their value.
struct KnownBits {
  const char* stop;
  std::uint64_t bits;
};

// scan_known_bits for strings of 64 digits and more, or near the end.
[[gnu::noinline]] KnownBits scan_many_known_bits(const char* p, const char* end) noexcept;

#ifdef __SSE2__
// The digits among the 64 characters at `p` (which must all be readable):
// where they stop, at p + 64 at the latest, and their value. A bit string
// of up to 64 digits, the usual vector, is read without a loop whose end
// would be mispredicted for every line: one mask bit per '1' and per digit
// over the 64 characters, and the digits' bits turned around.
[[gnu::always_inline]] inline KnownBits known_bits64(const char* p) noexcept {
  std::uint64_t ones = 0;
  std::uint64_t digits = 0;
  for (int i = 0; i < 4; ++i) {
    const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    const auto one = static_cast<std::uint64_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chars, _mm_set1_epi8('1'))));
    const auto zero = static_cast<std::uint64_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chars, _mm_set1_epi8('0'))));
    ones |= one << (16 * i);
    digits |= (one | zero) << (16 * i);
  }
  const auto k = static_cast<unsigned>(std::countr_zero(~digits));
  // The first character ends up most significant; the characters after
  // the digits fall off the end.
  return {p + k, k == 0 ? 0 : reverse_bits(ones) >> (64 - k)};
}
#endif

// The digits of a bit string that starts at `p`, while they are all '0' or
// '1': their value (the last 64 reach it) and where they stop. Words are read
// up to `end`, the end of the whole text; a line ends before it in a
// character that is not a digit. The usual vector is read inline, without
// a call that would make the parse loop keep its state in memory.
[[gnu::always_inline]] inline KnownBits scan_known_bits(const char* p, const char* end) noexcept {
#ifdef __SSE2__
  if (end - p >= 64) {
    const KnownBits known = known_bits64(p);
    if (known.stop < p + 64) return known;
  }
#endif
  return scan_many_known_bits(p, end);
}

KnownBits scan_many_known_bits(const char* p, const char* end) noexcept {
  std::uint64_t acc = 0;
#ifdef __SSE2__
  // Sixteen characters at a time: one mask bit per '1' and per digit,
  // first character in the lowest bit, turned around so it is the highest.
  static constexpr auto kReversed = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
      for (unsigned i = 0; i < 8; ++i) table[b] |= static_cast<std::uint8_t>(((b >> i) & 1u) << (7 - i));
    }
    return table;
  }();
  const auto reversed16 = [](unsigned m) { return static_cast<unsigned>(kReversed[m & 0xFF]) << 8 | kReversed[m >> 8]; };
  while (end - p >= 16) {
    const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto ones = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chars, _mm_set1_epi8('1'))));
    const auto zeros = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chars, _mm_set1_epi8('0'))));
    const unsigned digits = ones | zeros;
    if (digits == 0xFFFF) {
      acc = (acc << 16) | reversed16(ones);
      p += 16;
      continue;
    }
    const auto k = static_cast<unsigned>(std::countr_zero(~digits));
    if (k > 0) acc = (acc << k) | (reversed16(ones & ((1u << k) - 1)) >> (16 - k));
    return {p + k, acc};
  }
#endif
  while (end - p >= 8) {
    const std::uint64_t w = load8(p);
    const std::uint64_t other = (w & ~kOnes) ^ (kOnes * '0');  // a zero byte per '0' or '1'
    if (other == 0) {
      acc = (acc << 8) | gather_bits(w, 8);
      p += 8;
      continue;
    }
    const unsigned k = static_cast<unsigned>(std::countr_zero(other)) >> 3;
    if (k > 0) acc = (acc << k) | gather_bits(w, k);
    return {p + k, acc};
  }
  for (; p < end && (*p == '0' || *p == '1'); ++p) acc = (acc << 1) | static_cast<std::uint64_t>(*p - '0');
  return {p, acc};
}

// A scalar change or not, in one branch: value lines fall at random, and a
// test per character would be mispredicted more often. The entry, by the
// line's first character, also gives the change: bit 1 its bits, bit 2 an
// Empty kind.
constexpr auto kScalar = [] {
  std::array<std::uint8_t, 256> table{};
  table['0'] = 1;
  table['1'] = 1 | 2;
  table['x'] = table['X'] = 1 | 4;
  return table;
}();
static_assert(static_cast<unsigned>(VcdChange::Kind::Bits) == 0 && static_cast<unsigned>(VcdChange::Kind::Empty) == 1);

// The high bit set in every byte of the ASCII word `w` that is above the
// space, and nowhere else: adding 0x5F to an ASCII byte sets its high bit
// exactly then, without carrying into the next byte.
constexpr std::uint64_t above_space(std::uint64_t w) noexcept { return (w + kOnes * 0x5F) & (kOnes * 0x80); }

// The usual end of a change line: a code of one or two characters, both
// above the space, and the line feed, all in the word at `code` (within an
// ASCII text). Gives the code's id, moves `p` past the line and returns true;
// returns false for anything else.
[[gnu::always_inline]] inline bool short_code(const char* code, const char* end, const VcdCodeTable& codes,
                                              std::uint32_t& id, const char*& p) noexcept {
  if (end - code < 8) return false;
  const std::uint64_t w = load8(code);
  const std::uint64_t stops = ~above_space(w) & (kOnes * 0x80);
  const auto len = static_cast<unsigned>(std::countr_zero(stops)) >> 3;
  if (len - 1 >= 2 || static_cast<char>(w >> (8 * len)) != '\n') return false;
  id = codes.id_of_line_end(static_cast<std::uint32_t>(w & 0xFFFF));
  p = code + len + 1;
  return true;
}

// The commonest lines of an ASCII text, read without trimming: a scalar 0,
// 1 or x change, or a bit string of known bits, whose first and last
// characters are not white space (so the line is its own trimmed form).
// Gives the change (id kNone for a code not declared), moves `p` past the
// line and returns true; returns false, leaving `p`, for any other line.
[[gnu::always_inline]] inline bool fast_change(const char*& p, const char* end, const VcdCodeTable& codes,
                                               std::uint32_t& id, VcdChange::Kind& kind, std::uint64_t& bits) {
  using Kind = VcdChange::Kind;
  const char c = *p;
  const char* code;
  const char* nl;
  if (const unsigned scalar = kScalar[static_cast<unsigned char>(c)]; scalar != 0) {
    code = p + 1;
    kind = static_cast<Kind>(scalar >> 2);
    bits = (scalar >> 1) & 1;
    if (short_code(code, end, codes, id, p)) return true;
    nl = find_newline(code, end);
  } else if (c == 'b' || c == 'B') {
    const auto [stop, known] = scan_known_bits(p + 1, end);
    bits = known;
    if (stop == end || *stop != ' ') return false;
    code = stop + 1;
    kind = stop == p + 1 ? Kind::Empty : Kind::Bits;  // no digits: Empty
    if (short_code(code, end, codes, id, p)) return true;
    if (code == end || *code <= ' ') return false;
    nl = find_newline(code, end);
  } else {
    return false;
  }
  if (nl == code || nl[-1] <= ' ') return false;
  id = codes.id_of({code, static_cast<std::size_t>(nl - code)});
  p = nl < end ? nl + 1 : end;
  return true;
}

// Where the parser counts the changes of each signal, when it does (slots
// not null): an id counts at slots[id + 1].
struct SignalCounts {
  std::uint32_t* slots;
  [[gnu::always_inline]] void add(std::uint32_t id) const noexcept {
    if (slots != nullptr) ++slots[id + 1];
  }
};

#ifdef __SSE2__
// Bytes that must follow the start of a window for quick_changes to read
// the lines in it: the window's 64 bytes, then a bit string's first 64
// characters after a 'b' that starts near the window's end.
constexpr std::ptrdiff_t kQuickSlack = 144;

// One bit per line feed among the 64 bytes at `p`.
[[gnu::always_inline]] inline std::uint64_t line_feeds64(const char* p) noexcept {
  std::uint64_t mask = 0;
  for (int i = 0; i < 4; ++i) {
    const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    mask |= static_cast<std::uint64_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chars, _mm_set1_epi8('\n')))) << (16 * i);
  }
  return mask;
}

// fast_change's common cases in a loop of their own, for the lines that
// start before `stop_at` (kQuickSlack bytes before the text's end, so that
// no read needs a bound): a scalar change, or a bit string of at most 64
// known digits, with a code of one to seven characters above the space.
// Writes the changes from slots[count] on and returns the new count; leaves
// `p` at the first line it does not take (or at or past `stop_at`).
//
// The lines are found 64 bytes at a time from a mask of their line feeds,
// not by reading each line to its end: where each line starts does not wait
// on the line before it, so the processor works on several lines at once.
// Nothing in the loop calls out, so its state stays in registers.
[[gnu::always_inline]] inline std::size_t quick_changes(const char*& p, const char* stop_at, const VcdCodeTable& codes,
                                                        VcdChange* slots, std::size_t count, std::uint32_t step,
                                                        const SignalCounts& counts) {
  using Kind = VcdChange::Kind;
  const char* line = p;
  while (line < stop_at) {
    const char* const window = line;
    std::uint64_t feeds = line_feeds64(window);
    while (feeds != 0) {
      const char* const end = window + std::countr_zero(feeds);
      feeds &= feeds - 1;
      const unsigned scalar = kScalar[static_cast<unsigned char>(*line)];
      const char* code;
      std::uint64_t bits;
      unsigned kind;
      if (scalar != 0) {
        code = line + 1;
        bits = (scalar >> 1) & 1;
        kind = scalar >> 2;
      } else {
        if ((*line | 0x20) != 'b') goto stop;  // 'b' or 'B'
        const KnownBits known = known_bits64(line + 1);
        if (*known.stop != ' ') goto stop;
        code = known.stop + 1;
        bits = known.bits;
        kind = known.stop == line + 1 ? 1 : 0;  // no digits: Empty
      }
      {
        // A code of one to seven characters, all above the space.
        const auto length = static_cast<std::size_t>(end - code);
        const std::uint64_t w = load8(code);
        std::uint32_t id;
        if (length - 1 < 2) {
          // The usual code, one or two characters: the two bytes (a
          // one-character code's with the line feed) name it either way.
          const std::uint64_t high = length == 1 ? 0x80 : 0x8080;
          if ((above_space(w) & high) != high) goto stop;
          id = codes.id_of_line_end(static_cast<std::uint32_t>(w & 0xFFFF));
        } else {
          if (length - 3 >= 5) goto stop;
          const std::uint64_t high = (kOnes * 0x80) >> (64 - 8 * length);
          if ((above_space(w) & high) != high) goto stop;
          id = codes.id_of_medium_word(w, length);
        }
        slots[count] = VcdChange::make(id, step, static_cast<Kind>(kind), bits);
        count += id != VcdCodeTable::kNone;
        counts.add(id);
      }
      line = end + 1;
    }
    // A window without a whole line: the line is long, and not for here.
    if (line == window) break;
  }
stop:
  p = line;
  return count;
}
#endif

// Parses one run; `on_declaration(line)` decides whether to go on past a
// declaration line (true) or to stop before it (false).
template <class OnDeclaration>
std::size_t parse_lines(std::string_view text, const VcdCodeTable& codes, VcdRun& out,
                        OnDeclaration&& on_declaration, std::uint32_t* counts_by_signal) {
  static constexpr std::uint8_t kZ[] = {kLogicZ};
  using Kind = VcdChange::Kind;
  const bool ascii = all_ascii(text);
  const SignalCounts counts{counts_by_signal};
  // A run parsed in two parts (stopped at a declaration) numbers on.
  auto step = static_cast<std::uint32_t>(out.timestamps.size());
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* p = begin;

  // Every change line takes at least three bytes ("1!\n"), so the text
  // holds at most size / 3 + 1 changes: room for them is made up front and
  // the list is cut to what was written on the way out.
  struct Changes {
    VcdChanges& list;
    std::size_t count;
    VcdChange* slots;
    ~Changes() { list.resize(count); }
  } changes{out.changes, out.changes.size(), nullptr};
  out.changes.resize(changes.count + text.size() / 3 + 1);
  changes.slots = out.changes.data();
  const auto add = [&](std::uint32_t id, Kind kind, std::uint64_t word) __attribute__((always_inline)) {
    changes.slots[changes.count++] = VcdChange::make(id, step, kind, word);
    counts.add(id);
  };
  const auto add_value = [&](std::uint32_t id, SignalValue value) {
    switch (value.tag()) {
      case SignalValue::Tag::Bits: return add(id, Kind::Bits, value.as_bits());
      case SignalValue::Tag::Empty: return add(id, Kind::Empty, 0);
      case SignalValue::Tag::Real: return add(id, Kind::Real, std::bit_cast<std::uint64_t>(value.as_real()));
      default:
        add(id, Kind::Listed, out.listed.size());
        out.listed.push_back(std::move(value));
    }
  };

  while (p < end) {
    if (ascii) {
      // The changes of the common lines are written through locals: the
      // compiler keeps them in registers, where a write through the slots
      // could otherwise change the count as far as it knows.
      VcdChange* const slots = changes.slots;
      std::size_t count = changes.count;
      std::uint32_t id;
      Kind kind;
      std::uint64_t bits;
      // Lines the quick loop gives up on go to fast_change; when it gives
      // up on one at once (long codes, a big design's), the next few do too
      // without asking it.
      unsigned without_quick = 0;
      for (;;) {
#ifdef __SSE2__
        if (without_quick == 0 && end - p > kQuickSlack) {
          const char* const before = p;
          count = quick_changes(p, end - kQuickSlack, codes, slots, count, step, counts);
          if (p == before) without_quick = 16;
        }
#endif
        if (p == end || !fast_change(p, end, codes, id, kind, bits)) break;
        slots[count] = VcdChange::make(id, step, kind, bits);
        count += id != VcdCodeTable::kNone;
        counts.add(id);
        without_quick -= without_quick != 0;
      }
      changes.count = count;
      if (p == end) break;
    }
    const char* const line_start = p;
    const char* const nl = find_newline(p, end);
    p = nl < end ? nl + 1 : end;

    // A line that is not valid UTF-8 counts as an empty line; an ASCII line
    // can only hold ASCII white space.
    std::string_view line(line_start, static_cast<std::size_t>(nl - line_start));
    const bool line_ascii = ascii || all_ascii(line);
    if (line_ascii) {
      line = trim_ascii(line);
    } else {
      if (!is_valid_utf8(line)) continue;
      line = trim(line);
    }
    if (line.empty()) continue;

    const auto code_after = [&](std::size_t at) {
      return line_ascii ? trim_ascii(line.substr(at)) : trim(line.substr(at));
    };
    // The value before the first space and the code after it.
    const auto split_at_space = [&](std::string_view& value, std::string_view& code) {
      const void* space = std::memchr(line.data(), ' ', line.size());
      if (space == nullptr) return false;
      const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(space) - line.data());
      value = line.substr(0, at);
      code = code_after(at + 1);
      return true;
    };

    switch (line.front()) {
      case '#': {
        if (step == VcdChange::kMaxStep) throw std::length_error("VCD run holds too many timestamps");
        out.timestamps.push_back(parse_u64(code_after(1)).value_or(0));
        ++step;
        break;
      }
      case '$':
        // Other keywords ($end, $dumpvars, $comment, ...) carry nothing.
        if (VcdDeclarations::is_declaration(line) && !on_declaration(line)) {
          return static_cast<std::size_t>(line_start - begin);
        }
        break;
      case '0':
      case '1':
        if (const std::uint32_t id = codes.id_of(line.substr(1)); id != VcdCodeTable::kNone) {
          add(id, Kind::Bits, line.front() == '1' ? 1 : 0);
        }
        break;
      case 'x':
      case 'X':
        if (const std::uint32_t id = codes.id_of(line.substr(1)); id != VcdCodeTable::kNone) add(id, Kind::Empty, 0);
        break;
      case 'z':
      case 'Z':
        if (const std::uint32_t id = codes.id_of(line.substr(1)); id != VcdCodeTable::kNone) {
          add_value(id, SignalValue::logic(kZ));
        }
        break;
      case 'b':
      case 'B': {
        if (line_ascii) {
          // The common case: known bits and one space before the code.
          const auto [stop, bits] = scan_known_bits(line.data() + 1, end);
          const auto at = static_cast<std::size_t>(stop - line.data());
          if (at < line.size() && *stop == ' ') {
            if (const std::uint32_t id = codes.id_of(code_after(at + 1)); id != VcdCodeTable::kNone) {
              if (at == 1) {
                add(id, Kind::Empty, 0);  // no digits
              } else {
                add(id, Kind::Bits, bits);
              }
            }
            break;
          }
        }
        std::string_view value;
        std::string_view code;
        if (!split_at_space(value, code)) break;
        if (const std::uint32_t id = codes.id_of(code); id != VcdCodeTable::kNone) {
          add_value(id, line_ascii ? parse_binary_ascii(value) : parse_binary_str(value));
        }
        break;
      }
      case 'r':
      case 'R': {
        std::string_view value;
        std::string_view code;
        if (!split_at_space(value, code)) break;
        if (const std::uint32_t id = codes.id_of(code); id != VcdCodeTable::kNone) {
          add(id, Kind::Real, std::bit_cast<std::uint64_t>(parse_f64(value.substr(1)).value_or(0.0)));
        }
        break;
      }
      default: break;  // string values and other logic states are not kept
    }
  }
  return text.size();
}

}  // namespace

std::uint32_t* VcdRun::count_by_signal(std::uint32_t ids) {
  starts_.assign(std::size_t{ids} + 1, 0);
  counted_ = true;
  return starts_.data();
}

void VcdRun::group_by_signal() {
  const std::size_t n = changes.size();
  groups.clear();
  std::uint32_t lo = 0;
  std::size_t span = 0;
  if (counted_) {
    span = starts_.size() - 1;
    starts_[0] = 0;  // the changes of codes not declared, which were not kept
  } else {
    lo = UINT32_MAX;
    std::uint32_t hi = 0;
    for (const VcdChange& c : changes) {
      lo = std::min(lo, c.id);
      hi = std::max(hi, c.id);
    }
    span = n == 0 ? 0 : std::size_t{hi} - lo + 1;
  }
  if (span > 4 * n + 1024) {
    // Few changes over many signals: sorting costs less than a count per signal.
    sort_by_id(lo, span);
    for (std::size_t k = 0; k < n; ++k) {
      if (k == 0 || changes[k].id != changes[k - 1].id) groups.push_back({changes[k].id, static_cast<std::uint32_t>(k)});
    }
  } else if (n != 0) {
    if (!counted_) {
      starts_.assign(span + 1, 0);
      for (const VcdChange& c : changes) ++starts_[c.id - lo + 1];
    }
    for (std::size_t i = 1; i < starts_.size(); ++i) {
      if (starts_[i] != 0) groups.push_back({static_cast<std::uint32_t>(lo + i - 1), starts_[i - 1]});
      starts_[i] += starts_[i - 1];
    }
    // The two lists trade places: both keep the room the parser makes, so
    // that a run reused for the next block of lines does not allocate again.
    if (spare_.capacity() < changes.capacity()) spare_.reserve(changes.capacity());
    spare_.resize(n);
    for (const VcdChange& c : changes) spare_[starts_[c.id - lo]++] = c;
    changes.swap(spare_);
  }
  counted_ = false;
  groups.push_back({UINT32_MAX, static_cast<std::uint32_t>(n)});
}

void VcdRun::sort_by_id(std::uint32_t lo, std::size_t span) {
  // By digits of the id's offset from `lo`, lowest first; each pass is stable,
  // so file order holds within a signal. A digit's counts fit the L1 cache.
  constexpr unsigned kDigitBits = 11;
  constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;
  const std::size_t n = changes.size();
  if (spare_.capacity() < changes.capacity()) spare_.reserve(changes.capacity());
  spare_.resize(n);
  std::array<std::uint32_t, kDigits> starts;
  const auto width = static_cast<unsigned>(std::bit_width(span - 1));
  for (unsigned shift = 0; shift < width; shift += kDigitBits) {
    const auto digit = [&](const VcdChange& c) { return ((c.id - lo) >> shift) & (kDigits - 1); };
    starts.fill(0);
    for (const VcdChange& c : changes) ++starts[digit(c)];
    std::uint32_t at = 0;
    for (std::uint32_t& start : starts) at += std::exchange(start, at);
    for (const VcdChange& c : changes) spare_[starts[digit(c)]++] = c;
    changes.swap(spare_);
  }
}

SignalValue VcdRun::value(const VcdChange& change) const {
  switch (change.kind()) {
    case VcdChange::Kind::Bits: return SignalValue::bits(change.word);
    case VcdChange::Kind::Real: return SignalValue::real(std::bit_cast<double>(change.word));
    case VcdChange::Kind::Listed: return listed[change.word];
    default: return SignalValue();
  }
}

std::size_t parse_vcd_run(std::string_view text, const VcdCodeTable& codes, VcdRun& out) {
  // Counting while parsing pays when the signals are few beside the lines
  // of the text (a line takes ten bytes or so); a table per signal for a
  // short text of a big design would cost more than the count it saves.
  std::uint32_t* counts = nullptr;
  if (out.changes.empty() && codes.id_limit() <= text.size() / 16) counts = out.count_by_signal(codes.id_limit());
  return parse_lines(text, codes, out, [](std::string_view) { return false; }, counts);
}

void parse_vcd_run_applying(std::string_view text, VcdDeclarations& declarations, VcdRun& out) {
  // Declarations change the codes on the way: no counts.
  out.forget_counts();
  parse_lines(text, declarations.codes(), out, [&](std::string_view line) {
    declarations.apply(line);
    return true;
  }, nullptr);
}

}  // namespace velk
