// Finding the blocks of a newer-generation FSDB file: the header tables, the
// scan for zlib streams, the classification of what the scan found, the
// tail-of-file name fallback and the width table.
#include <algorithm>
#include <set>
#include <string_view>
#include <utility>

#include "formats/scan/scan.h"
#include "io/string_scan.h"
#include "formats/fsdb/fsdb_internal.h"
#include "formats/fsdb/fsdb_trace.h"

namespace velk::fsdb {
namespace {

// Header layout.
constexpr std::uint64_t kGateOffset = 40;
constexpr std::uint32_t kGateMax = 84;
constexpr std::uint64_t kTableOffsetField = 264;
constexpr std::uint64_t kWidthOffsetField = 272;
constexpr std::size_t kMinTableFileSize = 385;

// Block table layout, relative to its start.
constexpr std::uint64_t kCountField = 22;
constexpr std::uint64_t kFirstEntry = 24;
constexpr std::uint64_t kEntrySize = 12;
constexpr std::uint64_t kEntrySizeField = 8;

constexpr std::size_t kMaxScannedBlocks = 20;
// A file crowded with 78 xx pairs that never inflate would otherwise cost one
// inflate attempt per pair.
constexpr std::size_t kMaxFailedAttempts = 65536;
// Inflated bytes kept per file byte, above a floor (see inflated_budget).
constexpr std::uint64_t kMinInflatedBytes = std::uint64_t{16} << 20;
constexpr std::uint64_t kInflatedPerFileByte = 128;
// Failed attempts still inflate; their work is bounded by a multiple of the
// budget for kept bytes.
constexpr std::uint64_t kScanWorkFactor = 4;

constexpr std::size_t kClassifyWindow = 1024;
constexpr std::size_t kTailRegion = 4096;

bool contains(Bytes hay, std::string_view needle) {
  const Bytes n(reinterpret_cast<const std::uint8_t*>(needle.data()), needle.size());
  return find_bytes(hay, n).has_value();
}

bool is_zlib_start(Bytes data, std::size_t p) {
  if (data[p] != 0x78) return false;
  const std::uint8_t level = data[p + 1];
  return level == 0x01 || level == 0x5E || level == 0x9C || level == 0xDA;
}

bool ends_with_c1_marker(Bytes b, std::size_t end) {
  return end >= 4 && b[end - 4] == 0xC1 && b[end - 3] == 0x21 && b[end - 2] == 0x00 && b[end - 1] == 0x00;
}

// Strings of at least 3 bytes in the window, counted as the NUL-string scan
// sees them.
std::size_t count_strings(Bytes w) {
  std::size_t n = 0;
  for_each_nul_string(w, [&](std::string_view s) {
    if (s.size() >= 3) ++n;
  });
  return n;
}

bool is_noise(Bytes w) {
  return contains(w, "simv") || contains(w, ".log") || contains(w, "csrc") || contains(w, "daidir");
}

// Byte triples 01 ?? 40..7F at every third offset.
std::size_t count_record_triples(Bytes b) {
  std::size_t n = 0;
  for (std::size_t i = 0; i + 2 < b.size(); i += 3) {
    if (b[i] == 0x01 && b[i + 2] >= 0x40 && b[i + 2] <= 0x7F) ++n;
  }
  return n;
}

// Little 32-bit words (ignoring the top byte and the low two bits) at offsets
// 8, 12, ... inside the first 200 bytes.
std::size_t count_small_words(Bytes b) {
  const std::size_t m = std::min<std::size_t>(b.size(), 200);
  std::size_t n = 0;
  for (std::size_t j = 8; j + 4 <= m; j += 4) {
    const std::uint32_t word = *read_u32_le(b, j);
    if ((word & 0x00FFFFFCu) < 100) ++n;
  }
  return n;
}

// Tables of small numbers rather than strings or value records.
bool is_dense(Bytes b) {
  if (b.size() < 11) return false;
  if (count_record_triples(b) > 5) return true;
  return b.size() > 20 && count_small_words(b) > 3;
}

// Short blocks closed by 21 00 00 (noise blocks never get this far).
bool has_tail21(Bytes b) {
  const std::size_t l = b.size();
  return l >= 3 && l <= 119 && b[l - 3] == 0x21 && b[l - 2] == 0x00 && b[l - 1] == 0x00;
}

bool has_end_c1(Bytes b) {
  return ends_with_c1_marker(b, b.size()) || (b.size() >= 8 && ends_with_c1_marker(b, b.size() - 4));
}

bool is_tail_name(std::string_view s) { return is_identifier_of(s, kNameExtraChars); }

bool is_printable(std::uint8_t c) { return c >= 0x20 && c <= 0x7E; }

// The strings of one group starting at `pos`. Returns the position that ended
// the group, or nothing when a string runs into the end of the region.
std::optional<std::size_t> read_string_group(Bytes r, std::size_t pos, bool collect,
                                             std::vector<std::string>& out) {
  while (pos < r.size() && is_printable(r[pos])) {
    std::size_t q = pos;
    while (q < r.size() && is_printable(r[q])) ++q;
    if (q == r.size()) return std::nullopt;
    if (r[q] != 0x00) return q;
    const std::string_view s = as_text(r.subspan(pos, q - pos));
    if (collect && is_tail_name(s)) out.emplace_back(s);
    pos = q + 1;
  }
  return pos;
}

std::uint32_t width_of_type(std::uint8_t t) {
  switch (t) {
    case 0x43:
    case 0x44:
      return 8;
    case 0x6A:
      return 2;
    case 0x78:
      return 16;
    case 0x7D:
      return 32;
    default:
      return 1;
  }
}

// Walks the width records as the inflated table streams past. A position is
// looked at only once the four bytes after it have arrived (or the stream has
// ended), which is all the lookahead a record needs.
class WidthWalker {
 public:
  explicit WidthWalker(std::size_t name_count) : name_count_(name_count) {}

  void feed(Bytes piece) {
    if (done_) return;
    buf_.insert(buf_.end(), piece.begin(), piece.end());
    walk(false);
  }
  void finish() { walk(true); }
  std::vector<std::uint32_t> take() { return std::move(widths_); }

 private:
  void walk(bool at_end) {
    while (!done_ && widths_.size() < name_count_ && u_ < buf_.size()) {
      if (!at_end && u_ + 4 >= buf_.size()) break;
      step();
    }
    if (widths_.size() >= name_count_) done_ = true;
    // Drop what the cursor has passed so the buffer stays small.
    const std::size_t passed = std::min(u_, buf_.size());
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(passed));
    u_ -= passed;
  }

  void step() {
    const std::uint8_t a = buf_[u_];
    if (a == 0x01) {
      if (u_ + 2 >= buf_.size()) {
        done_ = true;
        return;
      }
      const std::uint8_t t = buf_[u_ + 2];
      widths_.push_back(width_of_type(t));
      const bool wide_record = (t == 0x43 || t == 0x44) && u_ + 4 < buf_.size();
      u_ += wide_record ? 5 : 3;
      return;
    }
    if (a == 0x02) {
      u_ += 4;
      return;
    }
    if (a == 0x21) {
      done_ = true;
      return;
    }
    u_ += 1;
  }

  std::size_t name_count_;
  std::vector<std::uint8_t> buf_;
  std::size_t u_ = 0;  // cursor relative to buf_
  bool done_ = false;
  std::vector<std::uint32_t> widths_;
};

}  // namespace

HeaderTables read_header_tables(Bytes data) {
  HeaderTables tables;
  if (data.size() < kMinTableFileSize || *read_u32_le(data, kGateOffset) > kGateMax) return tables;
  tables.width_offset = *read_u32_le(data, kWidthOffsetField);
  const std::uint64_t t = *read_u32_le(data, kTableOffsetField);
  if (t == 0 || t + kFirstEntry >= data.size()) return tables;
  const std::uint16_t count = *read_u16_le(data, t + kCountField);
  std::set<std::pair<std::uint32_t, std::uint32_t>> seen;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t at = t + kFirstEntry + kEntrySize * i;
    if (!in_bounds(data.size(), at, kEntrySize)) break;
    const std::uint32_t offset = *read_u32_le(data, at);
    const std::uint32_t size = *read_u32_le(data, at + kEntrySizeField);
    if (offset == 0 || offset >= data.size()) continue;
    // A repeated entry would inflate the same bytes again and duplicate its values.
    if (!seen.emplace(offset, size).second) continue;
    tables.entries.push_back({offset, size});
  }
  return tables;
}

std::uint64_t inflated_budget(std::size_t file_size) {
  return std::max<std::uint64_t>(kMinInflatedBytes, std::uint64_t{file_size} * kInflatedPerFileByte);
}

std::vector<ScannedBlock> scan_zlib_blocks(Bytes data) {
  std::vector<ScannedBlock> blocks;
  BlockInflater inflater;
  const std::uint64_t budget = inflated_budget(data.size());
  std::uint64_t kept = 0;
  std::size_t failures = 0;
  std::size_t p = 0;
  while (p + 2 <= data.size() && blocks.size() < kMaxScannedBlocks && failures < kMaxFailedAttempts &&
         kept < budget && inflater.produced_total() < kScanWorkFactor * budget) {
    if (!is_zlib_start(data, p)) {
      ++p;
      continue;
    }
    auto inflated = inflater.inflate(data.subspan(p));
    if (!inflated) {
      ++failures;
      ++p;
      continue;
    }
    const std::size_t consumed = inflated->consumed;
    kept += inflated->bytes.size();
    blocks.push_back({p, std::move(inflated->bytes)});
    p += consumed < 3 ? 2 : consumed;
  }
  return blocks;
}

std::vector<std::vector<std::uint8_t>> inflate_table_blocks(Bytes data, const std::vector<TableEntry>& entries) {
  std::vector<std::vector<std::uint8_t>> blocks;
  BlockInflater inflater;
  const std::uint64_t budget = inflated_budget(data.size());
  std::uint64_t total = 0;
  for (const TableEntry& e : entries) {
    if (total >= budget) break;
    auto inflated = inflater.inflate(clamp_sub(data, e.offset, e.size));
    // Stored sizes are sometimes two bytes short of the stream.
    if (!inflated) inflated = inflater.inflate(clamp_sub(data, e.offset, std::uint64_t{e.size} + 2));
    if (!inflated) continue;
    total += inflated->bytes.size();
    blocks.push_back(std::move(inflated->bytes));
  }
  return blocks;
}

BlockKind classify_block(Bytes block) {
  const Bytes w = block.first(std::min(block.size(), kClassifyWindow));
  const bool has8c = contains(w, "8C");
  const std::size_t nstr = count_strings(w);
  if (is_noise(w) || is_dense(block)) return BlockKind::Drop;
  const bool tail21 = has_tail21(block);
  if (tail21 && !has8c && nstr <= 2) return BlockKind::Drop;
  if (has8c) return nstr >= 6 ? BlockKind::NamesAndData : BlockKind::DataCandidate;
  if (!tail21 && has_end_c1(block) && nstr < 3) return BlockKind::DataCandidate;
  if (nstr >= 11) return BlockKind::LargeNames;
  if (nstr >= 3) return BlockKind::SmallNames;
  return BlockKind::Drop;
}

std::vector<std::string> tail_fallback_names(Bytes data) {
  std::vector<std::string> names;
  if (data.size() <= kTailRegion) return names;
  const Bytes r = data.last(kTailRegion);
  std::size_t i = 0;
  while (i < r.size()) {
    if (i + 1 == r.size() || r[i] != 0x02 || !is_ascii_alpha(static_cast<char>(r[i + 1]))) {
      ++i;
      continue;
    }
    // A group right after an 04 byte is not a name list.
    const bool collect = !(i > 0 && r[i - 1] == 0x04);
    const auto next = read_string_group(r, i + 1, collect, names);
    if (!next) break;
    i = *next;
  }
  return names;
}

std::optional<std::vector<std::uint32_t>> read_width_table(Bytes data, std::uint32_t width_offset,
                                                           std::size_t name_count) {
  const std::uint64_t w = width_offset;
  if (w == 0 || w + 4 >= data.size()) return std::nullopt;
  const std::uint64_t n = *read_u32_le(data, w);
  if (!in_bounds(data.size(), w + 4, n)) return std::nullopt;
  WidthWalker walker(name_count);
  const bool complete =
      inflate_complete(data.subspan(w + 4, n), inflated_budget(data.size()), [&](Bytes piece) { walker.feed(piece); });
  if (!complete) return std::nullopt;
  walker.finish();
  return walker.take();
}

}  // namespace velk::fsdb
