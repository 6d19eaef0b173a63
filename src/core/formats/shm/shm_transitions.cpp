// Transition files of an SHM database. Value blocks are found by their
// marker; each block covers a run of consecutive signals (its base advances
// block by block) and yields initial values, packed 1-bit changes or a single
// change encoded in the block's extra region. The events of one file are
// then laid onto the trace's time axis.
#include <algorithm>
#include <array>
#include <limits>

#include "formats/shm/shm_timeline.h"
#include "formats/shm/shm_trace.h"

namespace velk {
namespace shm {
namespace {

constexpr std::uint64_t kMinFileSize = 24;
constexpr std::uint64_t kBlockHeaderSize = 64;
constexpr std::array<std::uint8_t, 4> kBlockMarker = {0x00, 0x1B, 0x22, 0x00};
// Toggling fill writes count x signals events; a larger count is not a real
// sample count but a corrupt field, and would only blow up the trace.
constexpr std::uint64_t kMaxToggleCount = 1u << 20;
constexpr std::uint64_t kMinExtraRegion = 12;

// A kept block: start <= end <= file size, extra_end <= file size, count != 0.
struct Block {
  std::uint64_t time = 0;
  std::uint64_t count = 0;
  std::uint64_t extra_end = 0;  // the extra region is [end, extra_end)
  std::uint64_t start = 0;      // the value bytes are [start, end)
  std::uint64_t end = 0;
  std::uint64_t width() const { return end - start; }
};

struct BlockScan {
  std::vector<Block> blocks;
  std::uint64_t max_time = 0;
};

std::uint64_t time_unit(std::uint32_t code) {
  if (code == 6) return 100;
  if (code == 5) return 10;
  return 1000;
}

// unit * x / 1000 with unit <= 1000: the product stays far below 2^64 for a
// 32-bit x, and saturates for anything larger.
std::uint64_t scale_time(std::uint64_t unit, std::uint64_t x) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(unit, x, &product)) return std::numeric_limits<std::uint64_t>::max() / 1000;
  return product / 1000;
}

// base * k / (count + 1): the k-th of count evenly spaced times inside a
// block's time span. Saturates instead of wrapping.
std::uint64_t spaced_time(std::uint64_t base, std::uint64_t k, std::uint64_t count) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(base, k, &product)) product = std::numeric_limits<std::uint64_t>::max();
  return product / (count + 1);
}

std::uint64_t u32_or_zero(Bytes data, std::uint64_t off) { return read_u32_be(data, off).value_or(0); }

bool is_marker_at(Bytes data, std::uint64_t k) {
  return std::equal(kBlockMarker.begin(), kBlockMarker.end(), data.begin() + static_cast<std::ptrdiff_t>(k));
}

BlockScan scan_blocks(Bytes data) {
  BlockScan scan;
  const std::uint64_t size = data.size();
  for (std::uint64_t k = 0; k + kBlockHeaderSize <= size;) {
    if (!is_marker_at(data, k)) {
      ++k;
      continue;
    }
    const Block b{u32_or_zero(data, k + 28), u32_or_zero(data, k + 40), u32_or_zero(data, k + 48),
                  u32_or_zero(data, k + 52), u32_or_zero(data, k + 56)};
    scan.max_time = std::max(scan.max_time, b.time);
    if (b.count != 0 && b.start <= b.end && b.end <= size && b.extra_end <= size && b.start < size) {
      scan.blocks.push_back(b);
    }
    k += kBlockHeaderSize;
  }
  return scan;
}

std::uint8_t bit_at(std::uint8_t byte, int bit) { return (byte >> bit) & 1; }

// Turns the blocks of one file into events. Signal ids are the block's base g
// plus the signal's position in the block; g only ever addresses names.
class BlockDecoder {
 public:
  // `max_events` bounds the events built, `max_steps` the work done for them
  // (fill steps claimed by counts, region bytes read by blocks).
  BlockDecoder(Bytes data, std::uint64_t unit, std::uint64_t names, std::uint64_t max_events, std::uint64_t max_steps)
      : data_(data), unit_(unit), names_(names), max_events_(max_events), fill_steps_left_(max_steps),
        scan_left_(max_steps), timed_(names, false) {}

  std::vector<Event> decode(const std::vector<Block>& blocks) {
    std::int64_t g = 0;
    const auto total = static_cast<std::int64_t>(blocks.size());
    for (std::int64_t i = 0; i < total && scan_left_ > 0; ++i) g += decode_block(blocks[i], g, total - i - 1);
    return std::move(events_);
  }

 private:
  // Decodes one block at base g and returns how far the base advances.
  std::int64_t decode_block(const Block& b, std::int64_t g, std::int64_t blocks_after) {
    const std::int64_t avail = std::max<std::int64_t>(static_cast<std::int64_t>(names_) - g, 0);
    const std::uint64_t n = std::min(b.width(), static_cast<std::uint64_t>(avail));
    const auto base = static_cast<std::uint64_t>(g);
    // Blocks may all point at one large region: the bytes each one reads are
    // charged, so that the file's blocks together read at most its budget.
    charge_scan(b.width() + (b.extra_end > b.end ? b.extra_end - b.end : 0));
    bool has_values = add_initial_values(b, base, n);
    if (!has_values) has_values = add_packed_changes(b, base, static_cast<std::uint64_t>(avail));
    if (has_values) add_toggling_fill(b, base, n);
    add_extra_region_change(b, base);
    if (has_values) return static_cast<std::int64_t>(n);
    if (b.start == b.end) return 1;
    return std::max<std::int64_t>(avail - blocks_after, 1);
  }

  // Once the budget is spent the decoder stops after the current block.
  void charge_scan(std::uint64_t bytes) { scan_left_ -= std::min(bytes, scan_left_); }

  void add(std::uint64_t time, std::uint64_t id, bool bit) {
    if (events_.size() >= max_events_) return;
    events_.push_back(Event{time, static_cast<std::uint32_t>(id), bit});
    if (time != 0) timed_[id] = true;
  }

  // One byte per signal, in one of two encodings: 0x08/0x10 in bits 3-4, or
  // 0x00/0x40. A block that mixes them carries no initial values.
  bool add_initial_values(const Block& b, std::uint64_t g, std::uint64_t n) {
    if (n == 0 || !in_bounds(data_.size(), b.start, n)) return false;
    const Bytes v = data_.subspan(b.start, n);
    const auto level = [](std::uint8_t x) { return x & 0x18; };
    if (std::all_of(v.begin(), v.end(), [&](std::uint8_t x) { return level(x) == 0x08 || level(x) == 0x10; })) {
      for (std::uint64_t j = 0; j < n; ++j) add(0, g + j, level(v[j]) == 0x10);
      return true;
    }
    if (std::all_of(v.begin(), v.end(), [](std::uint8_t x) { return (x & 0xBF) == 0; })) {
      for (std::uint64_t j = 0; j < n; ++j) add(0, g + j, bit_at(v[j], 6));
      return true;
    }
    return false;
  }

  // Up to 8 signals packed MSB first: an initial byte, then one XOR mask per
  // sample, the samples spread evenly over the block's time.
  bool add_packed_changes(const Block& b, std::uint64_t g, std::uint64_t avail) {
    const std::uint64_t w = b.width();
    const std::uint64_t c = b.count;
    if (w < 4 || c == 0 || c == 1 || b.time == 0 || b.end > data_.size()) return false;
    if (c + 1 > w || w - c < 2 || w - c > 4) return false;
    const std::uint64_t lanes = std::min<std::uint64_t>(8, avail);
    const std::uint8_t b0 = data_[b.start];
    for (std::uint64_t i = 0; i < lanes; ++i) add(0, g + i, bit_at(b0, static_cast<int>(7 - i)));
    const std::uint64_t span = scale_time(unit_, b.time);
    std::uint8_t prev = b0;
    for (std::uint64_t j = 0; j < c; ++j) {
      const auto x = static_cast<std::uint8_t>(data_[b.start + 1 + j] ^ prev);
      const std::uint64_t time = spaced_time(span, j + 1, c);
      for (std::uint64_t i = 0; i < lanes; ++i) {
        const int bit = static_cast<int>(7 - i);
        if (bit_at(x, bit) != bit_at(prev, bit)) add(time, g + i, bit_at(x, bit));
      }
      prev = x;
    }
    return true;
  }

  // A block with only time-0 values toggles every signal count times over
  // its time span.
  void add_toggling_fill(const Block& b, std::uint64_t g, std::uint64_t n) {
    const std::uint64_t c = b.count;
    // n == 0 also covers a base past the last name, where g indexes nothing.
    if (n == 0 || c == 0 || c > kMaxToggleCount || b.time == 0) return;
    // The count is four header bytes, so it is charged as claimed (steps that
    // collapse onto one time still cost a loop turn): all fills of a file
    // together run at most the file's budget of steps.
    if (c > fill_steps_left_ / n) return;
    fill_steps_left_ -= c * n;
    if (std::any_of(timed_.begin() + static_cast<std::ptrdiff_t>(g),
                    timed_.begin() + static_cast<std::ptrdiff_t>(g + n), [](bool t) { return t; })) {
      return;
    }
    const std::uint64_t span = scale_time(unit_, b.time);
    // Steps that land on the same time as the next one are overwritten by it
    // when stored, so they are not materialised.
    const auto kept = [&](std::uint64_t k) { return k == c || spaced_time(span, k + 1, c) != spaced_time(span, k, c); };
    // Distinct times x signals events, each a new index at worst: a fill
    // that would pass the file's event budget is skipped whole, like an
    // oversized count.
    std::uint64_t times = 0;
    for (std::uint64_t k = 1; k <= c; ++k) times += kept(k) ? 1 : 0;
    if (times > (max_events_ - std::min<std::uint64_t>(events_.size(), max_events_)) / n) return;
    for (std::uint64_t k = 1; k <= c; ++k) {
      if (!kept(k)) continue;
      const std::uint64_t time = spaced_time(span, k, c);
      for (std::uint64_t j = 0; j < n; ++j) {
        const bool initial = (data_[b.start + j] & 0x18) == 0x10;
        add(time, g + j, ((k & 1) != 0) != initial);
      }
    }
  }

  void add_extra_region_change(const Block& b, std::uint64_t g) {
    if (b.extra_end < b.end || b.extra_end - b.end < kMinExtraRegion) return;
    const Bytes region = data_.subspan(b.end, b.extra_end - b.end);
    const auto q = find_terminator(region);
    if (!q || *q == 4) return;
    const auto r = find_change_record(region, *q);
    if (!r || g >= names_ || b.width() != 1 || b.count != 1) return;
    const auto x = change_time(region.subspan(*r), *q - 1 - *r, b.time);
    if (!x || *x >= b.time) return;
    add(scale_time(unit_, *x), g, (data_[b.start] & 0x18) != 0x10);
  }

  // The first 01 8F or 01 81 at position 4 or later.
  static std::optional<std::uint64_t> find_terminator(Bytes region) {
    for (std::uint64_t q = 4; q + 2 <= region.size(); ++q) {
      if (region[q] == 0x01 && (region[q + 1] == 0x8F || region[q + 1] == 0x81)) return q;
    }
    return std::nullopt;
  }

  // The first record start r <= q - 5: a type byte 11..14 at r+1 followed by
  // a marker byte.
  static std::optional<std::uint64_t> find_change_record(Bytes region, std::uint64_t q) {
    for (std::uint64_t r = 0; r + 5 <= q; ++r) {
      if (region[r + 1] < 0x11 || region[r + 1] > 0x14) continue;
      const std::uint8_t m3 = region[r + 3];
      if (r + 2 < q - 1 && (m3 == 0x7C || m3 == 0x88 || m3 == 0xFC)) return r;
      if (r + 1 < q - 1 && region[r + 2] >= 0x40) return r;
    }
    return std::nullopt;
  }

  // The change time encoded as a fraction of the block time t. `rec` starts
  // at the record; `room` is the number of bytes before the terminator.
  static std::optional<std::uint64_t> change_time(Bytes rec, std::uint64_t room, std::uint64_t t) {
    const std::uint8_t type = rec[1];
    if (type == 0x13 && room >= 7) {
      const std::uint64_t f = (rec[5] & 0x60) | bit_at(rec[7], 2) << 4 | bit_at(rec[7], 0) << 3 |
                              bit_at(rec[8], 6) << 2 | bit_at(rec[8], 4) << 1 | bit_at(rec[8], 2);
      if (f == 0 || f == 0x7F) return std::nullopt;
      return (f * 108 + t / 2) / 127;
    }
    if (type == 0x12 && room >= 5) {
      const std::uint64_t f = static_cast<std::uint64_t>(bit_at(rec[2], 7)) << 10 |
                              static_cast<std::uint64_t>(bit_at(rec[2], 5)) << 9 | bit_at(rec[5], 5) << 8 |
                              bit_at(rec[5], 2) << 7 | bit_at(rec[5], 1) << 6 | bit_at(rec[6], 7) << 5 |
                              bit_at(rec[6], 6) << 4 | bit_at(rec[6], 5) << 3 | bit_at(rec[6], 4) << 2 |
                              bit_at(rec[6], 2) << 1 | bit_at(rec[6], 0);
      if (f < 1 || f > 0x7FE) return std::nullopt;
      return (f * 1297 + t / 2) / 2047;
    }
    return std::nullopt;
  }

  Bytes data_;
  std::uint64_t unit_;
  std::uint64_t names_;
  const std::uint64_t max_events_;
  std::uint64_t fill_steps_left_;
  std::uint64_t scan_left_;  // region bytes the blocks may still read
  std::vector<bool> timed_;  // per signal: has an event at a non-zero time
  std::vector<Event> events_;
};

// The file's own times: every event time, 0, and the scaled largest block
// time; sorted, without duplicates.
std::vector<std::uint64_t> file_times(const std::vector<Event>& events, std::uint64_t last_time) {
  std::vector<std::uint64_t> times{0};
  if (last_time != 0) times.push_back(last_time);
  for (const auto& e : events) times.push_back(e.time);
  std::sort(times.begin(), times.end());
  times.erase(std::unique(times.begin(), times.end()), times.end());
  return times;
}

bool has_magic(Bytes data) { return read_u32_be(data, 0) == kMagic; }

// Limits on what a transition file of `size` bytes may make the reader do.
// Both grow linearly with the file above a floor: real databases spend bytes
// on every change they record, so 16 events per file byte leave them
// untouched; what the limits stop are counts claimed by a few header bytes
// (toggling fills, blocks sharing one value region) that would multiply into
// billions of values.
//
// The events built (each may open an index on the time axis) have a small
// floor: a file of a few hundred bytes yields at most 4 Ki events, where a
// floor of 64 Ki let one 4-byte count of a tiny file spread a signal over
// 64 Ki indices. The work (fill steps looped over, region bytes read) keeps a
// larger floor: steps that collapse onto few times cost little and build
// nothing.
constexpr std::uint64_t kMinEvents = std::uint64_t{1} << 12;
constexpr std::uint64_t kMinSteps = std::uint64_t{1} << 16;
constexpr std::uint64_t kEventsPerFileByte = 16;
std::uint64_t event_budget(std::uint64_t size) { return std::max(kMinEvents, size * kEventsPerFileByte); }
std::uint64_t step_budget(std::uint64_t size) { return std::max(kMinSteps, size * kEventsPerFileByte); }

}  // namespace

void decode_transitions(Bytes data, LoadedTrace& trace) {
  const std::uint64_t names = trace.signals.size();
  if (data.size() < kMinFileSize || !has_magic(data) || names == 0) return;
  const std::uint64_t unit = time_unit(*read_u32_be(data, 8));
  const BlockScan scan = scan_blocks(data);
  BlockDecoder decoder(data, unit, names, event_budget(data.size()), step_budget(data.size()));
  const std::vector<Event> events = decoder.decode(scan.blocks);
  const std::uint64_t last_time = scan.max_time != 0 ? scale_time(unit, scan.max_time) : 0;

  apply_events(trace, static_cast<std::uint32_t>(names), events, file_times(events, last_time));
}

}  // namespace shm
}  // namespace velk
