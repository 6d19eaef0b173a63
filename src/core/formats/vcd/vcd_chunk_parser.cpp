#include "formats/vcd/vcd_chunk_parser.h"

#include <algorithm>
#include <bit>
#include <cstring>

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

// Parses one run; `on_declaration(line)` decides whether to go on past a
// declaration line (true) or to stop before it (false).
template <class OnDeclaration>
std::size_t parse_lines(std::string_view text, const VcdCodeTable& codes, VcdRun& out,
                        OnDeclaration&& on_declaration) {
  static constexpr std::uint8_t kZ[] = {kLogicZ};
  const bool ascii = all_ascii(text);
  // A run parsed in two parts (stopped at a declaration) numbers on.
  auto step = static_cast<std::uint32_t>(out.timestamps.size());
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* p = begin;
  while (p < end) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* line_end = nl ? nl : end;
    const char* line_start = p;
    p = nl ? nl + 1 : end;
    std::string_view raw(line_start, static_cast<std::size_t>(line_end - line_start));

    // A line that is not valid UTF-8 counts as an empty line; an ASCII line
    // can only hold ASCII white space.
    const bool line_ascii = ascii || all_ascii(raw);
    if (!line_ascii && !is_valid_utf8(raw)) continue;
    const std::string_view line = line_ascii ? trim_ascii(raw) : trim(raw);
    if (line.empty()) continue;

    const auto lookup_and_add = [&](std::string_view code, auto&& make_value) {
      if (const auto id = codes.find(code)) out.changes.push_back(VcdChange{*id, step, make_value()});
    };
    const auto split_at_space = [&](std::string_view& value, std::string_view& code) {
      const void* space = std::memchr(line.data(), ' ', line.size());
      if (space == nullptr) return false;
      const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(space) - line.data());
      value = line.substr(0, at);
      code = line_ascii ? trim_ascii(line.substr(at + 1)) : trim(line.substr(at + 1));
      return true;
    };

    std::string_view value;
    std::string_view code;
    switch (line.front()) {
      case '#': {
        const std::string_view digits = line.substr(1);
        out.timestamps.push_back(parse_u64(line_ascii ? trim_ascii(digits) : trim(digits)).value_or(0));
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
      case '1': {
        const std::uint64_t bit = line.front() == '1' ? 1 : 0;
        lookup_and_add(line.substr(1), [&] { return SignalValue::bits(bit); });
        break;
      }
      case 'x':
      case 'X': lookup_and_add(line.substr(1), [] { return SignalValue::empty(); }); break;
      case 'z':
      case 'Z': lookup_and_add(line.substr(1), [] { return SignalValue::logic(kZ); }); break;
      case 'b':
      case 'B':
        if (!split_at_space(value, code)) break;
        lookup_and_add(code, [&] { return line_ascii ? parse_binary_ascii(value) : parse_binary_str(value); });
        break;
      case 'r':
      case 'R':
        if (!split_at_space(value, code)) break;
        lookup_and_add(code, [&] { return SignalValue::real(parse_f64(value.substr(1)).value_or(0.0)); });
        break;
      default: break;  // string values and other logic states are not kept
    }
  }
  return text.size();
}

}  // namespace

void VcdRun::group_by_signal() {
  if (changes.size() < 2) return;
  std::uint32_t max_id = 0;
  for (const VcdChange& c : changes) max_id = std::max(max_id, c.id);
  starts_.assign(static_cast<std::size_t>(max_id) + 2, 0);
  for (const VcdChange& c : changes) ++starts_[c.id + 1];
  for (std::size_t i = 1; i < starts_.size(); ++i) starts_[i] += starts_[i - 1];
  spare_.resize(changes.size());
  for (VcdChange& c : changes) spare_[starts_[c.id]++] = std::move(c);
  changes.swap(spare_);
}

std::size_t parse_vcd_run(std::string_view text, const VcdCodeTable& codes, VcdRun& out) {
  return parse_lines(text, codes, out, [](std::string_view) { return false; });
}

void parse_vcd_run_applying(std::string_view text, VcdDeclarations& declarations, VcdRun& out) {
  parse_lines(text, declarations.codes(), out, [&](std::string_view line) {
    declarations.apply(line);
    return true;
  });
}

}  // namespace velk
