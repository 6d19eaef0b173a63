#include "formats/fst/column_decoder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>
#include <string_view>
#include <thread>
#include <vector>

#include "formats/fst/fst_trace.h"
#include "formats/fst/time_index.h"
#include "formats/fst/value_changes.h"

namespace velk::fst {
namespace {

constexpr char kOneBitStates[] = "xzhuwl-?";

// An unsigned LEB128 number of at most 5 bytes, kept to 32 bits, as the
// time-ordered reading takes it. False for a number that runs past `end` or
// over 5 bytes.
inline bool next_varint(const std::uint8_t*& p, const std::uint8_t* end, std::uint32_t& out) {
  if (p != end && *p < 0x80) {
    out = *p++;
    return true;
  }
  std::uint64_t v = 0;
  for (unsigned i = 0; i < 5; ++i) {
    if (p == end) return false;
    const std::uint8_t b = *p++;
    v |= std::uint64_t{b & 0x7fu} << (7 * i);
    if ((b & 0x80) == 0) {
      out = static_cast<std::uint32_t>(v);
      return true;
    }
  }
  return false;
}

// `count` bytes at p, or false when fewer are left before `end`.
inline bool take(const std::uint8_t*& p, const std::uint8_t* end, std::size_t count,
                 std::span<const std::uint8_t>& out) {
  if (count > static_cast<std::size_t>(end - p)) return false;
  out = {p, count};
  p += count;
  return true;
}

double read_double(std::span<const std::uint8_t> b, FloatEndian endian) {
  std::uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits = (bits << 8) | (endian == FloatEndian::Little ? b[7 - i] : b[i]);
  return std::bit_cast<double>(bits);
}

std::string_view as_chars(std::span<const std::uint8_t> b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// The value of `width` packed two-state bits (first bit in the top bit of the
// first byte): the last 64 of them, as the text of those bits converts.
std::uint64_t packed_bits(std::span<const std::uint8_t> b, std::uint32_t width) {
  const unsigned pad = static_cast<unsigned>(b.size() * 8 - width);  // unused low bits of the last byte
  if (b.size() <= 8) {
    std::uint64_t acc = 0;
    for (const auto byte : b) acc = (acc << 8) | byte;
    return acc >> pad;
  }
  std::uint64_t low = 0;
  for (std::size_t i = b.size() - 8; i < b.size(); ++i) low = (low << 8) | b[i];
  if (pad == 0) return low;
  return (low >> pad) | (std::uint64_t{b[b.size() - 9]} << (64 - pad));
}

// Where one section's records land: the trace index of each local time
// index below `stop` (records from `stop` on are not reported: their time
// lies past the end), and `limit`, the bound a time index must stay below.
struct SectionPlace {
  std::span<const std::uint32_t> index;
  std::size_t stop = 0;
  std::size_t limit = 1;
  // From time index `steady` on, the trace index is the time index plus
  // `offset` (every time new, in order): no table to read there.
  std::size_t steady = 0;
  std::size_t offset = 0;

  std::size_t at(std::size_t t) const { return t >= steady ? t + offset : index[t]; }
};

// One value on its way to the store.
struct Staged {
  std::uint32_t index;
  SignalValue::Tag tag;
  std::uint64_t word;  // as ValueAppender::append_inline takes it
};

// Collects one signal's decoded values of one section (in batches of a
// bounded size), then hands them to the store together, which can make room
// for all of them in one step. A value equal to the latest one is dropped:
// the appender would only find it equal to the run it holds (at a later
// index) or replace the record with itself (at the same index).
class ColumnSink {
 public:
  static constexpr std::size_t kBatch = std::size_t{1} << 14;

  // `values` null: a signal no name refers to (decoded to be checked only).
  // `staged` has room for kBatch values.
  ColumnSink(ValueAppender* values, std::uint32_t id, std::vector<Staged>& staged)
      : values_(values), id_(id), staged_(staged.data()) {}

  bool bits(std::size_t index, std::uint64_t word) { return add(index, SignalValue::Tag::Bits, word); }
  bool real(std::size_t index, double v) { return add(index, SignalValue::Tag::Real, std::bit_cast<std::uint64_t>(v)); }
  // A pooled value whose slot in the part's pool is known.
  bool pooled(std::size_t index, SignalValue::Tag tag, std::uint64_t slot) { return add(index, tag, slot); }
  // Any other value (rare: text, four-state vectors, empty values).
  bool value(std::size_t index, const SignalValue& v) {
    if (values_ == nullptr) return true;
    switch (v.tag()) {
      case SignalValue::Tag::Bits: return bits(index, v.as_bits());
      case SignalValue::Tag::Real: return real(index, v.as_real());
      case SignalValue::Tag::Empty: return add(index, v.tag(), 0);
      default: return add(index, v.tag(), values_->pool_slot(v));
    }
  }

  // Hands the collected values over; false when the store refuses one (one
  // that goes back in time).
  bool flush() {
    if (count_ == 0) return true;
    const Staged* staged = staged_;
    const bool ok = values_->append_batch(id_, count_, [staged](std::size_t k) {
      return ValueAppender::InlineRecord{staged[k].index, staged[k].tag, staged[k].word};
    });
    count_ = 0;
    return ok;
  }

 private:
  bool add(std::size_t index, SignalValue::Tag tag, std::uint64_t word) {
    if (values_ == nullptr) return true;
    if (held_ && index >= last_.index && word == last_.word && tag == last_.tag) return true;
    if (count_ == kBatch && !flush()) return false;
    last_ = {static_cast<std::uint32_t>(index), tag, word};
    held_ = true;
    staged_[count_++] = last_;
    return true;
  }

  ValueAppender* values_;
  std::uint32_t id_;
  Staged* staged_;
  std::size_t count_ = 0;
  bool held_ = false;  // a value was taken; the latest is last_
  Staged last_{};
};

// The values of the one-bit states (x, z, ...), made once per part and
// looked up in its pool on first use.
class OneBitValues {
 public:
  explicit OneBitValues(ValueAppender& values) : values_(values) {
    for (int i = 0; i < 8; ++i) state_[i] = convert_value(FstSignalValue::string({&kOneBitStates[i], 1}));
  }

  bool append(ColumnSink& sink, std::size_t index, std::uint32_t state) {
    const SignalValue& v = state_[state];
    if (!slot_[state]) slot_[state] = values_.pool_slot(v);
    return sink.pooled(index, v.tag(), *slot_[state]);
  }

 private:
  ValueAppender& values_;
  SignalValue state_[8];
  std::optional<std::uint64_t> slot_[8];
};

// The record formats, one per kind of signal: the time delta of a record's
// leading varint, and the value that follows it.
struct OneBitRecord {
  OneBitValues& states;
  static std::uint32_t delta(std::uint32_t v) { return (v & 1) ? v >> 4 : v >> 2; }
  bool value(const std::uint8_t*&, const std::uint8_t*, std::uint32_t v, std::size_t index, ColumnSink& sink) {
    if (v & 1) return states.append(sink, index, (v >> 1) & 7);
    return sink.bits(index, (v >> 1) & 1);
  }
};

// A vector of `width` >= 2 bits: packed two-state bits or one character per bit.
struct VectorRecord {
  std::uint32_t width;
  static std::uint32_t delta(std::uint32_t v) { return v >> 1; }
  bool value(const std::uint8_t*& p, const std::uint8_t* end, std::uint32_t v, std::size_t index, ColumnSink& sink) {
    std::span<const std::uint8_t> b;
    if ((v & 1) == 0) {
      if (!take(p, end, (static_cast<std::size_t>(width) + 7) / 8, b)) return false;
      return sink.bits(index, packed_bits(b, width));
    }
    if (!take(p, end, width, b)) return false;
    // Plain 0/1 text is folded here, anything else converted.
    std::uint64_t bits = 0;
    for (const auto c : b) {
      if (c != '0' && c != '1') return sink.value(index, convert_value(FstSignalValue::string(as_chars(b))));
      bits = (bits << 1) | static_cast<std::uint64_t>(c == '1');
    }
    return sink.bits(index, bits);
  }
};

struct RealRecord {
  FloatEndian endian;
  static std::uint32_t delta(std::uint32_t v) { return v >> 1; }
  bool value(const std::uint8_t*& p, const std::uint8_t* end, std::uint32_t v, std::size_t index, ColumnSink& sink) {
    std::span<const std::uint8_t> b;
    // The other form is not decoded (the time-ordered reading says so).
    if ((v & 1) == 0 || !take(p, end, 8, b)) return false;
    return sink.real(index, read_double(b, endian));
  }
};

// A zero-width signal: a varint length and that many bytes of text.
struct VariableRecord {
  static std::uint32_t delta(std::uint32_t v) { return v >> 1; }
  bool value(const std::uint8_t*& p, const std::uint8_t* end, std::uint32_t, std::size_t index, ColumnSink& sink) {
    std::uint32_t k = 0;
    std::span<const std::uint8_t> b;
    if (!next_varint(p, end, k) || !take(p, end, k, b)) return false;
    return sink.value(index, convert_value(FstSignalValue::string(as_chars(b))));
  }
};

// Decodes one signal's records of a section in chain order. Reads and checks
// exactly the bytes the time-ordered reading reads for it: every record whose
// time index lies below place.stop, and the time delta of the record after
// the last one reported. False on anything that reading reports as an error,
// and when the store refuses a value (one that goes back in time).
template <class Record>
bool read_chain(std::span<const std::uint8_t> chain, const SectionPlace& place, ColumnSink& sink, Record record) {
  const std::uint8_t* p = chain.data();
  const std::uint8_t* const end = p + chain.size();
  if (p == end) return true;
  std::uint32_t v = 0;
  if (!next_varint(p, end, v)) return false;
  std::size_t t = Record::delta(v);
  if (t >= place.limit) return false;
  while (t < place.stop) {
    if (!record.value(p, end, v, place.at(t), sink)) return false;
    if (p == end) return true;
    if (!next_varint(p, end, v)) return false;
    const std::size_t d = Record::delta(v);
    if (d >= place.limit - t) return false;
    t += d;
  }
  return true;
}

bool read_chain(SignalInfo info, FloatEndian endian, OneBitValues& states, std::span<const std::uint8_t> chain,
                const SectionPlace& place, ColumnSink& sink) {
  switch (info.raw()) {
    case 0: return read_chain(chain, place, sink, RealRecord{endian});
    case 1: return read_chain(chain, place, sink, VariableRecord{});
    case 2: return read_chain(chain, place, sink, OneBitRecord{states});
    default: return read_chain(chain, place, sink, VectorRecord{info.bit_length()});
  }
}

// The signals whose trace ids lie in [first_id, end_id), decoded by one
// thread into one appender (ids counted from first_id), plus any signals no
// name refers to that fall to it.
struct Part {
  std::uint32_t first_id = 0;
  std::uint32_t end_id = 0;
  std::vector<std::uint32_t> signals;  // geometry indices
  ValueAppender values{FillOrder::AfterChanges};
  OneBitValues one_bit{values};
  std::vector<Staged> staged = std::vector<Staged>(ColumnSink::kBatch);  // one signal's values of a section
  bool ok = true;
};

class ColumnDecoder {
 public:
  ColumnDecoder(FstInput& in, const MetaData& meta, const ColumnLayout& layout)
      : meta_(meta), layout_(layout), chains_(in, meta), time_index_(layout.timestamps) {
    const unsigned machine = std::max(1u, std::thread::hardware_concurrency());
    threads_ = std::min(layout.threads == 0 ? machine : layout.threads, 64u);
  }

  std::optional<ValueStore> run() {
    // Indices are kept as u32; a table without indices takes no values.
    if (layout_.timestamps.empty() || layout_.timestamps.size() >= UINT32_MAX) {
      if (!meta_.sections.empty()) return std::nullopt;
    }
    const std::uint64_t filter_end = meta_.header.end_time;
    bool first = true;
    for (const auto& section : meta_.sections) {
      if (section.start_time > filter_end) continue;
      if (!decode(section, first)) return std::nullopt;
      first = false;
    }
    return finish();
  }

 private:
  bool decode(const SectionLocation& section, bool first) {
    if (!chains_.begin(section).ok()) return false;
    const auto& times = chains_.times();
    if (!chains_.read_frame(section, first && (times.empty() || section.start_time < times.front())).ok()) {
      return false;
    }
    if (!chains_.locate(section).ok()) return false;
    chains_.clear_unpacked();
    for (const auto& chain : chains_.chains()) {
      if (!chains_.unpack(chain).ok()) return false;
    }
    if (chains_.has_frame() && !locate_frame(section.start_time)) return false;
    place_times();
    if (parts_.empty()) split();
    return decode_parts();
  }

  // Checks the frame as the time-ordered reading does and notes where each
  // signal's frame value lies.
  bool locate_frame(std::uint64_t time) {
    frame_at_.assign(meta_.signals.size(), {0, 0});
    std::uint64_t at = 0;
    const std::uint64_t size = chains_.frame().size();
    for (std::size_t i = 0; i < meta_.signals.size(); ++i) {
      const std::uint64_t n = meta_.signals[i].frame_bytes();
      if (n > size - at) return false;
      frame_at_[i] = {at, n};
      at += n;
    }
    frame_index_ = time_index_.of(time);
    return true;
  }

  void place_times() {
    const auto& times = chains_.times();
    const std::uint64_t filter_end = meta_.header.end_time;
    place_.stop = static_cast<std::size_t>(
        std::find_if(times.begin(), times.end(), [&](std::uint64_t t) { return t > filter_end; }) - times.begin());
    place_.limit = std::max<std::size_t>(times.size(), 1);
    index_.resize(place_.stop);
    for (std::size_t t = 0; t < place_.stop; ++t) index_[t] = static_cast<std::uint32_t>(time_index_.of(times[t]));
    place_.index = index_;
    // The longest run at the end where the trace index steps with the time index.
    std::size_t steady = place_.stop;
    while (steady > 0 && index_[steady - 1] >= steady - 1 &&
           (steady == place_.stop || index_[steady - 1] + 1 == index_[steady])) {
      --steady;
    }
    place_.steady = steady;
    place_.offset = steady < place_.stop ? index_[steady] - steady : 0;
  }

  // Splits the trace ids into contiguous ranges of about equal unpacked
  // bytes (in the first section), one per thread.
  void split() {
    const auto& ids = layout_.ids;
    std::uint32_t id_count = 0;
    for (const auto id : ids) {
      if (id != kNoTraceId) id_count = std::max(id_count, id + 1);
    }
    std::vector<std::uint64_t> bytes(id_count + std::size_t{1}, 0);
    std::uint64_t total = 0;
    for (std::uint32_t s = 0; s < ids.size() && s < meta_.signals.size(); ++s) {
      if (ids[s] == kNoTraceId) continue;
      bytes[ids[s]] += chains_.unpacked(s).size() + 1;
      total += chains_.unpacked(s).size() + 1;
    }
    const std::size_t count = std::max<std::size_t>(1, std::min<std::size_t>(threads_, id_count));
    parts_ = std::vector<Part>(count);
    std::uint32_t id = 0;
    std::uint64_t done = 0;
    for (std::size_t k = 0; k < count; ++k) {
      parts_[k].first_id = id;
      const std::uint64_t goal = total * (k + 1) / count;
      while (id < id_count && (k + 1 == count || done < goal)) done += bytes[id++];
      parts_[k].end_id = id;
    }
    // The first part's columns become the store's.
    std::vector<ValueAppender*> appenders;
    for (Part& part : parts_) appenders.push_back(&part.values);
    share_columns(appenders, first_ids(), id_count);
    for (std::uint32_t s = 0; s < meta_.signals.size(); ++s) {
      const std::uint32_t sid = s < ids.size() ? ids[s] : kNoTraceId;
      parts_[part_of(sid)].signals.push_back(s);
    }
  }

  std::vector<std::uint32_t> first_ids() const {
    std::vector<std::uint32_t> out;
    for (const Part& part : parts_) out.push_back(part.first_id);
    return out;
  }

  std::size_t part_of(std::uint32_t id) const {
    if (id == kNoTraceId) return 0;
    for (std::size_t k = 0; k < parts_.size(); ++k) {
      if (id < parts_[k].end_id) return k;
    }
    return parts_.size() - 1;
  }

  bool decode_parts() {
    // Small sections are not worth a thread.
    std::uint64_t bytes = 0;
    for (const auto& c : chains_.chains()) bytes += c.length;
    if (parts_.size() == 1 || bytes < kThreadedBytes) {
      for (auto& part : parts_) decode_part(part);
    } else {
      std::vector<std::thread> workers;
      workers.reserve(parts_.size() - 1);
      for (std::size_t k = 1; k < parts_.size(); ++k) workers.emplace_back([this, k] { decode_part(parts_[k]); });
      decode_part(parts_[0]);
      for (auto& w : workers) w.join();
    }
    return std::all_of(parts_.begin(), parts_.end(), [](const Part& p) { return p.ok; });
  }

  void decode_part(Part& part) {
    if (!part.ok) return;
    try {
      for (const std::uint32_t s : part.signals) {
        const std::uint32_t id = s < layout_.ids.size() ? layout_.ids[s] : kNoTraceId;
        ColumnSink sink(id == kNoTraceId ? nullptr : &part.values, id - part.first_id, part.staged);
        if (chains_.has_frame() && !frame_value(s, sink)) {
          part.ok = false;
          return;
        }
        if (!read_chain(meta_.signals[s], meta_.float_endian, part.one_bit, chains_.unpacked(s), place_, sink) ||
            !sink.flush()) {
          part.ok = false;
          return;
        }
      }
    } catch (...) {
      // The time-ordered reading meets the same limit and reports it its own way.
      part.ok = false;
    }
  }

  bool frame_value(std::uint32_t s, ColumnSink& sink) {
    const auto [at, n] = frame_at_[s];
    if (n == 0) return true;
    const auto bytes = chains_.frame().subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(n));
    if (meta_.signals[s].is_real()) return sink.value(frame_index_, SignalValue::real(read_double(bytes, meta_.float_endian)));
    return sink.value(frame_index_, convert_value(FstSignalValue::string(as_chars(bytes))));
  }

  std::optional<ValueStore> finish() {
    if (parts_.empty()) return ValueStore();  // no section decoded
    std::vector<ValueStore> finished;
    for (Part& part : parts_) finished.push_back(part.values.finish(layout_.timestamps.size()));
    return join_parts(finished, first_ids(), parts_.back().end_id);
  }

  static constexpr std::uint64_t kThreadedBytes = 1 << 20;

  const MetaData& meta_;
  const ColumnLayout& layout_;
  SectionChains chains_;
  TimeIndex time_index_;
  unsigned threads_ = 1;
  std::vector<Part> parts_;
  SectionPlace place_;
  std::vector<std::uint32_t> index_;                                 // per local time index: trace index
  std::vector<std::pair<std::uint64_t, std::uint64_t>> frame_at_;    // per signal: its frame bytes
  std::size_t frame_index_ = 0;
};

}  // namespace

std::optional<ValueStore> decode_columns(FstInput& in, const MetaData& meta, const ColumnLayout& layout) {
  return ColumnDecoder(in, meta, layout).run();
}

}  // namespace velk::fst
