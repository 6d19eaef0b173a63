#include "eval/case_fold.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

namespace velk {
namespace {

struct LowerRun {
  char32_t first;
  char32_t last;
  std::int32_t delta;
  std::uint32_t stride;
};
struct LowerMulti {
  char32_t cp;
  std::uint32_t length;
  char32_t lower[3];
};
struct CodeRange {
  char32_t first;
  char32_t last;
};

#include "eval/lowercase_table.inc"

constexpr char32_t kCapitalSigma = 0x3A3;
constexpr char32_t kSmallSigma = 0x3C3;
constexpr char32_t kFinalSigma = 0x3C2;

// A decoded element: a code point, or (for ill-formed input) one raw byte.
struct Unit {
  char32_t cp;
  bool raw;
};

// The last entry whose first member is <= cp, or nullptr.
template <class T, std::size_t N>
const T* floor_entry(const T (&table)[N], char32_t cp) {
  const auto* it = std::upper_bound(std::begin(table), std::end(table), cp,
                                    [](char32_t c, const T& entry) { return c < entry.first; });
  return it == std::begin(table) ? nullptr : it - 1;
}

template <std::size_t N>
bool in_ranges(const CodeRange (&table)[N], char32_t cp) {
  const CodeRange* r = floor_entry(table, cp);
  return r != nullptr && cp <= r->last;
}

bool case_ignorable(const Unit& u) { return !u.raw && in_ranges(kCaseIgnorable, u.cp); }
bool cased(const Unit& u) { return !u.raw && in_ranges(kCased, u.cp); }

// Decodes one well-formed UTF-8 sequence at text[i], advancing i; an
// ill-formed byte (bad lead, bad continuation, overlong, surrogate, > U+10FFFF)
// becomes a raw unit of one byte.
Unit decode(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if (lead < 0x80) {
    ++i;
    return {lead, false};
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, cp = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, cp = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, cp = lead & 0x07, min = 0x10000;
  }
  if (length == 0 || i + length > text.size()) return {byte(i++), true};
  for (std::size_t k = 1; k < length; ++k) {
    const unsigned char next = byte(i + k);
    if ((next & 0xC0) != 0x80) return {byte(i++), true};
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {byte(i++), true};
  i += length;
  return {cp, false};
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void append_lower(std::string& out, char32_t cp) {
  const LowerRun* run = floor_entry(kLowerRanges, cp);
  if (run != nullptr && cp <= run->last && (cp - run->first) % run->stride == 0) {
    append_utf8(out, static_cast<char32_t>(static_cast<std::int32_t>(cp) + run->delta));
    return;
  }
  const auto* multi = std::lower_bound(std::begin(kLowerMulti), std::end(kLowerMulti), cp,
                                       [](const LowerMulti& m, char32_t c) { return m.cp < c; });
  if (multi != std::end(kLowerMulti) && multi->cp == cp) {
    for (std::uint32_t k = 0; k < multi->length; ++k) append_utf8(out, multi->lower[k]);
    return;
  }
  append_utf8(out, cp);
}

// Capital sigma is final when a cased character precedes it and none follows
// it, looking past case-ignorable characters in both directions.
bool final_sigma(const std::vector<Unit>& units, std::size_t i) {
  std::size_t j = i;
  while (j > 0 && case_ignorable(units[j - 1])) --j;
  if (j == 0 || !cased(units[j - 1])) return false;
  j = i + 1;
  while (j < units.size() && case_ignorable(units[j])) ++j;
  return j == units.size() || !cased(units[j]);
}

std::string lower_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

std::string to_lower_full(std::string_view utf8) {
  const bool ascii = std::all_of(utf8.begin(), utf8.end(), [](char c) { return (c & 0x80) == 0; });
  if (ascii) return lower_ascii(utf8);

  std::vector<Unit> units;
  units.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) units.push_back(decode(utf8, i));

  std::string out;
  out.reserve(utf8.size() + utf8.size() / 2);
  for (std::size_t i = 0; i < units.size(); ++i) {
    const Unit& u = units[i];
    if (u.raw) {
      out += static_cast<char>(u.cp);
    } else if (u.cp == kCapitalSigma) {
      append_utf8(out, final_sigma(units, i) ? kFinalSigma : kSmallSigma);
    } else {
      append_lower(out, u.cp);
    }
  }
  return out;
}

}  // namespace velk
