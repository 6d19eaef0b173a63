// Value decoding of newer-generation FSDB data blocks, and the grid that
// collects the values of all blocks.
#include <algorithm>
#include <array>
#include <iterator>

#include "formats/fsdb/fsdb_internal.h"
#include "io/leb128.h"

#include "model/column_builder.h"

namespace velk::fsdb {
namespace {

constexpr std::array<std::uint8_t, 6> kHeaderMark = {0x38, 0x43, 0x00, 0x04, 0x00, 0x08};
constexpr std::array<std::uint8_t, 6> kCodeMark = {0x44, 0x00, 0x63, 0x00, 0x03, 0x08};
constexpr std::array<std::uint8_t, 4> kEndMark = {0xC1, 0x21, 0x00, 0x00};
constexpr std::array<std::uint8_t, 4> kFillMark = {0xFF, 0xFF, 0xFF, 0xFF};

constexpr std::size_t kMinBlock = 8;
constexpr std::size_t kMarkLen = 6;
constexpr unsigned kMaxLebBytes = 10;
constexpr std::uint8_t kChunkSeparator = 0x08;
constexpr std::uint64_t kModeOneTick = 10;
// A clock that would add more events than this is not a clock but noise.
constexpr std::uint64_t kMaxClockEvents = std::uint64_t{1} << 20;
// The clock is described by four trailer bytes but spans the whole block, so
// its edges are tied to the block's size: a real clock toggles about as often
// as the data it clocks changes, and each change takes at least two bytes.
constexpr std::uint64_t kClockEdgesPerBlockByte = 16;

std::optional<std::size_t> find(Bytes hay, std::span<const std::uint8_t> needle, std::size_t from = 0) {
  return find_bytes(hay, Bytes(needle.data(), needle.size()), from);
}

struct Leb {
  std::uint64_t value = 0;
  std::size_t next = 0;
};

// One unsigned LEB128 number at `pos`, ending at a byte below 0x80, after 10
// bytes or at `end`. Bits past the 64th are dropped.
Leb read_leb(Bytes b, std::size_t pos, std::size_t end) {
  std::size_t next = pos;
  const Leb128 leb = decode_uleb128(
      [&](std::uint8_t& byte) {
        if (next >= end) return false;
        byte = b[next++];
        return true;
      },
      kMaxLebBytes);
  return {leb.value, next};
}

// Past the bytes >= 0x80 starting at `pos` and the one byte after them.
std::size_t skip_leb(Bytes b, std::size_t pos) {
  while (pos < b.size() && b[pos] >= 0x80) ++pos;
  return pos + 1;
}

// Where the block header ends: at the 8C mark, or after four leading numbers
// in blocks that carry the C1 21 00 00 end mark instead.
std::optional<std::size_t> header_end(Bytes b) {
  if (const auto mark = find(b, kHeaderMark)) return *mark;
  if (!find(b, kEndMark)) return std::nullopt;
  std::size_t pos = 0;
  for (int i = 0; i < 4; ++i) pos = read_leb(b, pos, b.size()).next;
  return pos;
}

struct HeaderNumbers {
  std::uint64_t limit = UINT32_MAX;  // last pair counter value decoded; no limit by default
  std::uint64_t initial = 0;         // X
  std::uint64_t step = 5;
};

HeaderNumbers read_header_numbers(Bytes b, std::size_t h) {
  std::array<std::uint64_t, 6> v{};
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < h;) {
    const Leb leb = read_leb(b, pos, h);
    if (count < v.size()) v[count] = leb.value;
    ++count;
    pos = leb.next;
  }
  HeaderNumbers n;
  if (count >= 4) n.limit = static_cast<std::uint32_t>(v[3] - 1);  // 0 wraps to "no limit"
  if (count >= 5) n.initial = v[4];
  if (count >= 6) n.step = v[5] * 5 + 5;  // wraps modulo 2^64 like the writer's counter
  return n;
}

struct Region {
  Bytes r1;
  std::optional<std::size_t> code_mark;  // position of 44 00 63 00 03 08
};

// The value region after the header, ended by the code-list mark and cut at
// the first fill or end mark inside it. Nothing when it would start past the
// end of the block.
std::optional<Region> value_region(Bytes b, std::size_t h) {
  const std::size_t r0 = h + kMarkLen;
  if (r0 > b.size()) return std::nullopt;
  Region region;
  if (b.size() - h >= 12) region.code_mark = find(b, kCodeMark, r0);
  Bytes r1 = b.subspan(r0, region.code_mark.value_or(b.size()) - r0);
  if (r1.size() > 3) {
    if (const auto fill = find(r1, kFillMark)) r1 = r1.first(*fill);
    if (const auto end = find(r1, kEndMark)) r1 = r1.first(*end);
  }
  region.r1 = r1;
  return region;
}

struct Chunks {
  bool mode1 = false;
  std::vector<Bytes> chunks;
  std::optional<Bytes> trailer;  // clock description, mode1 only
};

Chunks split_chunks(Bytes r1) {
  Chunks out;
  out.mode1 = std::find(r1.begin(), r1.end(), kChunkSeparator) != r1.end();
  if (!out.mode1) {
    if (!r1.empty()) out.chunks.push_back(r1);
    return out;
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i < r1.size(); ++i) {
    if (r1[i] != kChunkSeparator) continue;
    out.chunks.push_back(r1.subspan(start, i - start));
    start = i + 1;
  }
  if (start < r1.size()) out.chunks.push_back(r1.subspan(start));
  if (out.chunks.size() >= 2) {
    out.trailer = out.chunks.back();
    out.chunks.pop_back();
  }
  return out;
}

struct Pair {
  std::uint64_t time = 0;
  std::uint8_t value = 0;
};

struct Offset {
  bool low_bit_only = false;  // kind 1: the pair value AND 1
  std::uint64_t amount = 0;
};

struct Decoded {
  std::vector<Pair> pairs;      // T
  std::vector<Offset> offsets;  // E
};

// Timed pairs and offsets of all chunks, in chunk order.
Decoded decode_chunks(const Chunks& chunks, std::uint64_t limit) {
  Decoded d;
  std::uint64_t c = 0;   // pairs decoded in the whole block
  std::uint64_t tb = 0;  // time base: last time of the previous non-empty chunk
  for (std::size_t idx = 0; idx < chunks.chunks.size(); ++idx) {
    const Bytes chunk = chunks.chunks[idx];
    std::vector<Pair> p;
    std::uint64_t acc = 0;
    std::uint64_t unit = 0;
    for (std::size_t u = 0; u + 1 < chunk.size(); u += 2) {
      const std::uint8_t a = chunk[u];
      if (a >= 0x80) {
        d.offsets.push_back({false, static_cast<std::uint64_t>(a & 0x7F)});
        continue;
      }
      if (a >= 0x40) {
        d.offsets.push_back({true, static_cast<std::uint64_t>(a & 0x3F)});
        continue;
      }
      std::uint64_t time = 0;
      if (chunks.mode1) {
        acc += a;
        time = acc == 0 ? tb : tb + kModeOneTick * (acc - 1);
      } else {
        if (c > limit) break;
        if (p.empty()) {
          unit = std::uint64_t{a} * 5 + 5;
          time = unit;
        } else {
          time = p.back().time + a * unit;
        }
      }
      p.push_back({time, chunk[u + 1]});
      ++c;
    }
    const bool inner = idx + 1 < chunks.chunks.size();
    if (chunks.mode1 && inner && chunk.size() % 2 == 1) {
      p.push_back({p.empty() ? tb : p.back().time + kModeOneTick, chunk.back()});
    }
    if (!p.empty()) tb = p.back().time;
    d.pairs.insert(d.pairs.end(), p.begin(), p.end());
  }
  return d;
}

// Initial values of signals 1, 2, ... listed after the code mark.
std::vector<std::uint8_t> read_code_list(Bytes b, std::size_t start, std::uint8_t last_byte) {
  std::vector<std::uint8_t> s;
  const std::size_t l = b.size();
  std::size_t pos = start;
  while (pos + 1 < l) {
    const std::uint8_t x = b[pos];
    if (x == 0x00) {
      if (pos + 2 < l && b[pos + 1] == 0x00 && b[pos + 2] == 0x00) break;
      ++pos;
    } else if (x == 0x01) {
      if (pos + 2 < l && b[pos + 2] == 0x38) break;
      s.push_back(b[pos + 1]);
      pos = skip_leb(b, pos + 2);
    } else if (x == 0xC1 && pos + 3 < l && b[pos + 1] == 0x21 && b[pos + 2] == 0x00 && b[pos + 3] == 0x00) {
      break;
    } else if (x <= 0x7F) {
      if (x > 8 && x != 0x27 && x != 0x38) s.push_back(x);
      ++pos;
    } else {
      pos = skip_leb(b, pos + 1);
      if (last_byte == 0xFF && std::find(s.begin(), s.end(), 0xFF) == s.end()) s.push_back(0xFF);
    }
  }
  return s;
}

// Signal 0 toggling every half period up to just past the last decoded time.
void add_clock(Bytes trailer, const std::vector<Pair>& pairs, std::size_t block_size, std::vector<Event>& q) {
  if (trailer.size() < 4 || (trailer[0] & 0x40) == 0) return;
  const std::uint64_t half = std::uint64_t{trailer[2]} * 5 / 2;
  if (half == 0) return;
  std::uint64_t end = 10;
  if (!pairs.empty()) {
    const auto latest = std::max_element(pairs.begin(), pairs.end(),
                                         [](const Pair& x, const Pair& y) { return x.time < y.time; });
    end = latest->time + 10;
  }
  const std::uint64_t toggles = end / half;
  if (toggles + 1 > std::min(kMaxClockEvents, kClockEdgesPerBlockByte * block_size)) return;
  std::uint64_t level = trailer[3] == 0x30 ? 0 : 1;
  q.push_back({0, 0, level});
  for (std::uint64_t i = 1; i <= toggles; ++i) {
    level ^= 1;
    q.push_back({i * half, 0, level});
  }
}

std::vector<Event> build_events(const std::vector<std::uint8_t>& s, const HeaderNumbers& hn, const Decoded& d,
                                const std::optional<Bytes>& trailer, std::size_t block_size, std::size_t n,
                                std::size_t max_events) {
  std::vector<Event> q;
  const std::size_t last = n > 0 ? n - 1 : 0;
  const auto sig = [](std::size_t id) { return static_cast<std::uint32_t>(id); };
  std::size_t g = 0;
  if (!s.empty()) {
    for (std::size_t k = 1; k <= s.size() && k < n; ++k) q.push_back({0, sig(k), s[k - 1]});
    if (hn.initial != 0 && s.size() + 1 < n) q.push_back({hn.step, sig(s.size() + 1), hn.initial});
    g = std::min(s.size() + 1 + (hn.initial != 0 ? 1 : 0), last);
  } else if (hn.initial != 0) {
    if (1 < n) q.push_back({hn.step, 1, hn.initial});
    g = std::min<std::size_t>(2, last);
  }
  if (g < n && !d.pairs.empty()) {
    for (const Pair& p : d.pairs) q.push_back({p.time, sig(g), p.value});
    ++g;
  }
  for (const Offset& e : d.offsets) {
    if (g >= n) break;
    for (const Pair& p : d.pairs) {
      if (q.size() >= max_events) return q;
      const std::uint64_t value = e.low_bit_only ? (p.value & 1) : p.value;
      q.push_back({p.time + e.amount, sig(g), value});
    }
    ++g;
  }
  if (trailer && q.size() < max_events) add_clock(*trailer, d.pairs, block_size, q);
  if (q.size() > max_events) q.resize(max_events);
  return q;
}

bool same_slot(const Event& a, const Event& b) { return a.signal == b.signal && a.time == b.time; }

bool slot_less(const Event& a, const Event& b) {
  return a.signal != b.signal ? a.signal < b.signal : a.time < b.time;
}

// One event per slot, the last one written, sorted by signal then time.
std::vector<Event> last_per_slot(std::vector<Event> events) {
  std::stable_sort(events.begin(), events.end(), slot_less);
  std::vector<Event> out;
  out.reserve(events.size());
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (i + 1 < events.size() && same_slot(events[i], events[i + 1])) continue;
    out.push_back(events[i]);
  }
  return out;
}

}  // namespace

std::optional<std::vector<Event>> decode_data_block(Bytes b, std::size_t name_count, std::size_t max_events) {
  if (b.size() < kMinBlock) return std::nullopt;
  const auto h = header_end(b);
  if (!h) return std::nullopt;
  const auto region = value_region(b, *h);
  if (!region) return std::nullopt;
  const HeaderNumbers hn = read_header_numbers(b, *h);
  const Chunks chunks = split_chunks(region->r1);
  const Decoded decoded = decode_chunks(chunks, hn.limit);
  const std::uint8_t last_byte = region->r1.empty() ? 0 : region->r1.back();
  std::vector<std::uint8_t> codes;
  if (region->code_mark) codes = read_code_list(b, *region->code_mark + kMarkLen, last_byte);
  return build_events(codes, hn, decoded, chunks.trailer, b.size(), name_count, max_events);
}

std::optional<std::uint64_t> ValueGrid::value_at(const Changes& changes, std::uint64_t time) const {
  auto it = changes.upper_bound(time);
  if (it == changes.begin()) return std::nullopt;
  return std::prev(it)->second;
}

void ValueGrid::apply_block(const std::vector<Event>& events, std::size_t name_count) {
  const std::vector<Event> slots = last_per_slot(events);
  std::size_t columns = std::max(columns_.size(), name_count);
  for (const Event& e : slots) columns = std::max<std::size_t>(columns, std::size_t{e.signal} + 1);
  columns_.resize(columns);

  // A value written at time t would also cover the existing timestamps after
  // t up to the signal's next change. The first such timestamp gets its
  // current value written back, so existing slots keep their values and only
  // new timestamps take the written value forward.
  std::vector<Event> restores;
  for (const Event& e : slots) {
    const auto next = times_.upper_bound(e.time);
    if (next == times_.end()) continue;
    const Event probe{*next, e.signal, 0};
    if (std::binary_search(slots.begin(), slots.end(), probe, slot_less)) continue;
    if (const auto old = value_at(columns_[e.signal], *next)) restores.push_back({*next, e.signal, *old});
  }
  for (const Event& r : restores) columns_[r.signal][r.time] = r.value;
  for (const Event& e : slots) columns_[e.signal][e.time] = e.value;
  // Named signals without a value at time 0 start at 0.
  for (std::size_t s = 0; s < name_count; ++s) columns_[s].emplace(0, 0);
  for (const Event& e : slots) times_.insert(e.time);
}

std::size_t ValueGrid::cells_after(const std::vector<Event>& events, std::size_t name_count) const {
  std::size_t columns = std::max(columns_.size(), name_count);
  for (const Event& e : events) columns = std::max<std::size_t>(columns, std::size_t{e.signal} + 1);
  const std::size_t times = times_.size() + events.size();
  if (columns != 0 && times > SIZE_MAX / columns) return SIZE_MAX;
  return columns * times;
}

std::vector<std::uint64_t> ValueGrid::timestamps() const { return {times_.begin(), times_.end()}; }

void ValueGrid::store_into(LoadedTrace& trace) const {
  trace.timestamps = timestamps();
  const auto& times = trace.timestamps;
  // A change at time t first shows at the earliest timestamp at or after t;
  // of several changes reaching one timestamp the latest wins, and a change
  // after the last timestamp shows nowhere.
  ColumnBuilder columns;
  for (std::size_t s = 0; s < columns_.size(); ++s) {
    for (const auto& [time, value] : columns_[s]) {
      const auto at = static_cast<std::size_t>(std::lower_bound(times.begin(), times.end(), time) - times.begin());
      if (at < times.size()) columns.record(static_cast<std::uint32_t>(s), at, SignalValue::bits(value));
    }
  }
  columns.build_into(trace.store, times.size(), ColumnBuilder::Fill::AfterChanges);
}

}  // namespace velk::fsdb
