// The design file of an SHM database: a chain of tagged records from offset
// 128, whose SIGNAL records name the signals and whose SCOPE records name the
// scopes. The record layout is only partly known, so a broken chain is
// resumed by searching for the next plausible record tag.
#include <algorithm>
#include <array>
#include <cstdio>

#include "formats/scan/scan.h"
#include "io/text.h"
#include "formats/shm/shm_trace.h"

namespace velk {
namespace shm {
namespace {

constexpr std::uint64_t kFirstRecord = 128;
constexpr std::uint64_t kMinWalkSize = 140;
// Strings of a record never start inside its 12-byte head.
constexpr std::uint64_t kRecordHead = 12;
// Without a usable next-record link, the record's strings are looked for in
// this many bytes, and the next record within this distance.
constexpr std::uint64_t kStringSpan = 256;
constexpr std::uint64_t kSearchSpan = 1036;
// A back-referenced name lies within this many bytes of its offset.
constexpr std::uint64_t kBackRefSpan = 64;

enum class Kind { Scope, Signal, Other };

constexpr std::array<std::uint32_t, 14> kTags = {
    0x00010102, 0x00031102,                          // META_V1, META_V2
    0x00070501, 0x00270501, 0x00070601,              // SCOPE_DEF, SCOPE_DEF, SCOPE_INST
    0x000F0400,                                      // SOURCE_FILE
    0x00090700, 0x00290700, 0x00020C07,              // SIGNAL, SIGNAL, BUS_SIGNAL
    0x00100B02, 0x00100B04, 0x00100B05, 0x00120C0B,  // VAR_TYPE_A, _T, _B, _V
    0x00140B07,                                      // VAR_TYPE_C
};
// Upper halves of tags seen in the wild; a word with one of these starts a
// record of an unlisted variant.
constexpr std::array<std::uint16_t, 8> kTagFamilies = {0x0002, 0x0007, 0x0009, 0x000F,
                                                       0x0010, 0x0014, 0x0027, 0x0029};

Kind kind_of(std::uint32_t tag) {
  switch (tag) {
    case 0x00070501:
    case 0x00270501:
    case 0x00070601:
      return Kind::Scope;
    case 0x00090700:
    case 0x00290700:
      return Kind::Signal;
    default:
      return Kind::Other;
  }
}

bool is_record_start(std::uint32_t word) {
  const auto family = static_cast<std::uint16_t>(word >> 16);
  return std::find(kTags.begin(), kTags.end(), word) != kTags.end() ||
         std::find(kTagFamilies.begin(), kTagFamilies.end(), family) != kTagFamilies.end();
}

struct Record {
  std::uint64_t pos = 0;
  std::uint32_t tag = 0;
  std::uint64_t next = 0;  // link to the next record; usable when pos < next <= size
  std::uint64_t str = 0;   // offset of the strings, or a back-reference to a name
};

bool link_ok(std::uint64_t pos, std::uint64_t link, std::uint64_t size) { return pos < link && link <= size; }

class DesignWalk {
 public:
  DesignWalk(Bytes data, LoadedTrace& trace) : data_(data), size_(data.size()), trace_(trace) {}

  void run() {
    std::uint64_t p = kFirstRecord;
    std::uint64_t m = kFirstRecord + kRecordHead;  // strings start no earlier than this
    while (p + 4 <= size_) {
      const std::uint32_t tag = *read_u32_be(data_, p);
      if (tag == 0) {  // an empty slot: the next word may start a record
        if (p + 16 > size_) return;
        m = p + 16;
        p += 4;
        continue;
      }
      const Record rec{p, tag, read_u32_be(data_, p + 4).value_or(0), read_u32_be(data_, p + 8).value_or(0)};
      handle(rec, m);
      if (link_ok(p, rec.next, size_)) {
        if (rec.next + kRecordHead > size_) return;
        p = rec.next;
      } else {
        const auto found = search_record(p, m);
        if (!found) return;
        p = *found;
      }
      m = p + kRecordHead;
    }
  }

 private:
  void handle(const Record& rec, std::uint64_t m) {
    const Kind kind = kind_of(rec.tag);
    if (kind == Kind::Other) return;
    if (kind == Kind::Signal && rec.str != 0 && rec.str < rec.pos) {
      add_back_referenced_name(rec.str);
      return;
    }
    const std::uint64_t start = link_ok(rec.pos, rec.str, size_) ? std::max(rec.str, m) : m;
    const std::uint64_t end = link_ok(rec.pos, rec.next, size_) ? rec.next : std::min(rec.pos + kStringSpan, size_);
    for (auto& s : extract_strings(data_, start, end)) {
      if (kind == Kind::Scope) {
        if (s.size() >= 2) trace_.scope_tree_.list_path(s);
      } else if (is_ident(s)) {  // is_ident already rules out a leading "0x"
        trace_.add_signal(std::move(s), 1);
      }
    }
  }

  // A SIGNAL record pointing back at an earlier name: only the first usable
  // string there is the name.
  void add_back_referenced_name(std::uint64_t at) {
    for (auto& s : extract_strings(data_, at, std::min(at + kBackRefSpan, size_))) {
      if (!s.empty() && is_ident(s) && trace_.add_signal(std::move(s), 1)) return;
    }
  }

  // The first word at m, m+4, ... before min(p + 1036, size - 12) that looks
  // like a record tag.
  std::optional<std::uint64_t> search_record(std::uint64_t p, std::uint64_t m) const {
    if (size_ < kRecordHead) return std::nullopt;
    const std::uint64_t limit = std::min(p + kSearchSpan, size_ - kRecordHead);
    for (std::uint64_t q = m; q < limit; q += 4) {
      const auto word = read_u32_be(data_, q);
      if (word && is_record_start(*word)) return q;
    }
    return std::nullopt;
  }

  Bytes data_;
  std::uint64_t size_;
  LoadedTrace& trace_;
};

bool is_text_byte(std::uint8_t b) { return b >= 0x20 && b <= 0x7E; }

}  // namespace

std::vector<std::string> extract_strings(Bytes data, std::uint64_t start, std::uint64_t end) {
  std::vector<std::string> out;
  const std::uint64_t stop = std::min<std::uint64_t>(end, data.size());
  // Past the data nothing can start a string, so the scan ends at `stop`.
  for (std::uint64_t a = start; a < stop;) {
    if (!is_text_byte(data[a])) {
      ++a;
      continue;
    }
    std::uint64_t i = a;
    while (i < stop && data[i] != 0) ++i;
    const Bytes run = data.subspan(a, i - a);
    if (is_valid_utf8(as_text(run))) out.emplace_back(as_text(run));
    a = i + 1;
  }
  return out;
}

bool is_ident(std::string_view text) { return is_identifier_of(text, "$().[]_"); }

Expected<LoadedTrace> parse_design(Bytes data) {
  LoadedTrace trace;
  trace.timestamps = {0};
  if (data.size() < kFirstRecord) return trace;
  const std::uint32_t magic = *read_u32_be(data, 0);
  if (magic != kMagic) return bad_magic_error("Bad DSN magic: 0x" + hex8(magic), 0);
  if (data.size() >= kMinWalkSize) DesignWalk(data, trace).run();
  return trace;
}

}  // namespace shm
}  // namespace velk
