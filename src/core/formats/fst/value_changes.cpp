#include "formats/fst/value_changes.h"

#include <bit>
#include <limits>

#include "io/byte_reader.h"
#include "formats/fst/decompress.h"
#include "formats/fst/fst_reader.h"

namespace velk::fst {
namespace {

constexpr std::uint32_t kNoSignal = std::numeric_limits<std::uint32_t>::max();
constexpr char kOneBitStates[] = "xzhuwl-?";
constexpr std::uint64_t kFixedFields = 32;  // length, start, end, memory

// One bit per geometry signal: bit i in word i / 64.
class BitMask {
 public:
  static BitMask repeat(bool value, std::size_t size) {
    BitMask m;
    m.words_.assign((size + 63) / 64, value ? ~std::uint64_t{0} : 0);
    return m;
  }
  bool is_set(std::size_t i) const { return i / 64 < words_.size() && (words_[i / 64] >> (i % 64)) & 1; }
  void set(std::size_t i) {
    if (i / 64 < words_.size()) words_[i / 64] |= std::uint64_t{1} << (i % 64);
  }

 private:
  std::vector<std::uint64_t> words_;
};

BitMask mask_of(const FstFilter& filter, std::size_t signal_count) {
  if (!filter.include) return BitMask::repeat(true, signal_count);
  BitMask mask = BitMask::repeat(false, signal_count);
  for (const auto handle : *filter.include) {
    if (handle.value != 0) mask.set(handle.index());
  }
  return mask;
}

double read_double(std::span<const std::uint8_t> b, FloatEndian endian) {
  std::uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) {
    const std::uint8_t byte = endian == FloatEndian::Little ? b[7 - i] : b[i];
    bits = (bits << 8) | byte;
  }
  return std::bit_cast<double>(bits);
}

std::string_view as_chars(std::span<const std::uint8_t> b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

enum class EntryKind : std::uint8_t { None, Offset, Alias };
struct TableEntry {
  EntryKind kind = EntryKind::None;
  std::uint64_t value = 0;  // chain offset, or the aliased signal index
  std::uint64_t length = 0;
};

Error beyond_count() {
  return ReaderError::malformed("offset table names more signals than the section holds");
}

// Kinds 0 and 1: odd values start chains, even values skip signals, 0 is an alias.
Status decode_alias_table(ByteReader& r, std::uint64_t signal_count, std::vector<TableEntry>& entries) {
  std::uint64_t previous_offset = 0;
  std::optional<std::size_t> previous_chain;
  while (!r.at_end()) {
    const std::uint32_t x = r.read_varint_u32();
    if (!r.ok()) return r.status();
    if (x == 0) {
      const std::uint32_t y = r.read_varint_u32();
      if (!r.ok()) return r.status();
      if (entries.size() >= signal_count) return beyond_count();
      entries.push_back({EntryKind::Alias, std::uint64_t{y} - 1, 0});
    } else if (x & 1) {
      if (entries.size() >= signal_count) return beyond_count();
      const std::uint64_t delta = x >> 1;
      if (previous_chain) entries[*previous_chain].length = delta;
      previous_offset += delta;
      previous_chain = entries.size();
      entries.push_back({EntryKind::Offset, previous_offset, 0});
    } else {
      const std::uint64_t skip = x >> 1;
      if (skip > signal_count - entries.size()) return beyond_count();
      entries.resize(entries.size() + skip);
    }
  }
  return Status();
}

// Kind 2: signed values start chains (positive) or name aliases (negative,
// zero repeats the last alias); even bytes skip signals.
Status decode_alias2_table(ByteReader& r, std::uint64_t signal_count, std::uint64_t table_start,
                           std::vector<TableEntry>& entries) {
  entries.assign(static_cast<std::size_t>(signal_count), TableEntry{});
  std::uint64_t i = 0;
  std::uint64_t previous_offset = 0;
  std::uint64_t last_alias = 0;
  std::optional<std::size_t> previous_chain;
  while (!r.at_end()) {
    if ((*r.peek_u8() & 1) == 0) {
      i += r.read_varint_u32() / 2;
      if (!r.ok()) return r.status();
      continue;
    }
    const std::int64_t d = r.read_signed_varint_i64() >> 1;
    if (!r.ok()) return r.status();
    if (i >= signal_count) return beyond_count();
    if (d > 0) {
      const auto delta = static_cast<std::uint64_t>(d);
      if (delta > table_start - previous_offset) return ReaderError::malformed("value-change chain past its section");
      if (previous_chain) entries[*previous_chain].length = delta;
      previous_offset += delta;
      previous_chain = static_cast<std::size_t>(i);
      entries[i] = {EntryKind::Offset, previous_offset, 0};
    } else if (d < 0) {
      last_alias = static_cast<std::uint64_t>(-d - 1);
      entries[i] = {EntryKind::Alias, last_alias, 0};
    } else {
      entries[i] = {EntryKind::Alias, last_alias, 0};
    }
    ++i;
  }
  return Status();
}

// The last chain runs up to the offset table.
Status close_last_chain(std::vector<TableEntry>& entries, std::uint64_t table_start) {
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (it->kind != EntryKind::Offset) continue;
    if (it->value > table_start) return ReaderError::malformed("value-change chain past its section");
    it->length = table_start - it->value;
    break;
  }
  return Status();
}

}  // namespace

Expected<TimeTable> read_time_table(FstInput& in, std::uint64_t offset, std::uint64_t section_length) {
  if (section_length < kFixedFields + 24 || section_length > in.size() || offset > in.size() - section_length) {
    return ReaderError::malformed("value-change section too short for its time table");
  }
  const std::uint64_t end = offset + section_length;
  in.seek(end - 24);
  const std::uint64_t uncompressed = in.read_u64();
  const std::uint64_t compressed = in.read_u64();
  const std::uint64_t count = in.read_u64();
  if (!in.ok()) return in.error();
  if (compressed > section_length - kFixedFields - 24) {
    return ReaderError::malformed("time table larger than its value-change section");
  }
  in.seek(end - 24 - compressed);
  auto bytes = read_zlib_compressed_bytes(in, uncompressed, compressed, true);
  if (!bytes.ok()) return bytes.error();
  // Every time takes at least one byte.
  if (count > bytes.value().size()) return ReaderError::malformed("time table claims more entries than it holds");
  TimeTable table;
  table.section_bytes = compressed + 24;
  table.times.reserve(static_cast<std::size_t>(count));
  ByteReader r(bytes.value());
  std::uint64_t time = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    time += r.read_varint_u64();
    if (!r.ok()) return r.error();
    table.times.push_back(time);
  }
  return table;
}

Expected<std::vector<ChainLocation>> read_signal_locs(std::span<const std::uint8_t> table, std::uint8_t kind,
                                                      std::uint64_t signal_count, std::uint64_t table_start) {
  std::vector<TableEntry> entries;
  ByteReader r(table);
  const Status decoded = kind == 2 ? decode_alias2_table(r, signal_count, table_start, entries)
                                   : decode_alias_table(r, signal_count, entries);
  if (!decoded.ok()) return decoded.error();
  const Status closed = close_last_chain(entries, table_start);
  if (!closed.ok()) return closed.error();
  std::vector<ChainLocation> chains;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const TableEntry* e = &entries[i];
    std::size_t owner = i;
    if (e->kind == EntryKind::None) continue;
    if (e->kind == EntryKind::Alias) {
      owner = static_cast<std::size_t>(e->value);
      if (e->value >= entries.size() || entries[e->value].kind != EntryKind::Offset) {
        return ReaderError::malformed(
            "internal error: entered unreachable code: aliases should always directly point to an offset");
      }
      e = &entries[e->value];
    }
    if (e->value == 0) return ReaderError::malformed("value-change chain at offset 0");
    if (e->length > table_start - e->value) return ReaderError::malformed("value-change chain past its section");
    chains.push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(owner), e->value, e->length});
  }
  return chains;
}

std::uint32_t read_one_bit_signal_time_delta(std::span<const std::uint8_t> bytes, std::size_t pos) {
  ByteReader r(bytes.subspan(pos));
  const std::uint32_t v = r.read_varint_u32();
  return (v & 1) ? v >> 4 : v >> 2;
}

std::uint32_t read_multi_bit_signal_time_delta(std::span<const std::uint8_t> bytes, std::size_t pos) {
  ByteReader r(bytes.subspan(pos));
  return r.read_varint_u32() >> 1;
}

SectionChains::SectionChains(FstInput& in, const MetaData& meta) : in_(in), meta_(meta) {}

Status SectionChains::begin(const SectionLocation& section) {
  in_.seek(section.offset);
  const std::uint64_t length = in_.read_u64();
  const std::uint64_t start = in_.read_u64();
  const std::uint64_t end = in_.read_u64();
  in_.read_u64();
  if (!in_.ok()) return in_.status();
  if (length != section.length || start != section.start_time || end != section.end_time) {
    return ReaderError::malformed("value-change section differs from the one found at open");
  }
  auto table = read_time_table(in_, section.offset, length);
  if (!table.ok()) return table.error();
  times_ = std::move(table.value().times);
  time_bytes_ = table.value().section_bytes;
  in_.seek(section.offset + kFixedFields);
  return in_.status();
}

Status SectionChains::read_frame(const SectionLocation& section, bool keep) {
  has_frame_ = false;
  const std::uint64_t uncompressed = in_.read_varint_u64();
  const std::uint64_t compressed = in_.read_varint_u64();
  const std::uint64_t count = in_.read_varint_u64();
  if (!in_.ok()) return in_.status();
  if (compressed > section.length) return ReaderError::malformed("frame larger than its value-change section");
  if (count != meta_.signals.size()) return ReaderError::malformed("frame signal count differs from the geometry");
  if (!keep) {
    in_.skip(compressed);
    return in_.status();
  }
  frame_bytes_.clear();
  const Status read = read_zlib_into(in_, uncompressed, compressed, true, frame_bytes_, scratch_);
  if (!read.ok()) return read;
  has_frame_ = true;
  return Status();
}

Status SectionChains::locate(const SectionLocation& section) {
  const std::uint64_t signal_count = in_.read_varint_u64();
  chain_base_ = in_.position();
  pack_ = pack_type_from_byte(in_.read_u8());
  if (!in_.ok()) return in_.status();
  if (signal_count > meta_.signals.size()) {
    return ReaderError::malformed("value-change signal count exceeds the geometry");
  }
  const std::uint64_t section_end = section.offset + section.length;
  // The offset table length sits just before the time data. The signal
  // count may already have run past the section's end.
  const std::uint64_t chains_start = in_.position();
  if (chains_start > section_end || time_bytes_ + 8 > section_end - chains_start) {
    return ReaderError::malformed("offset table overlaps the chains");
  }
  const std::uint64_t length_field = section_end - time_bytes_ - 8;
  in_.seek(length_field);
  const std::uint64_t table_length = in_.read_u64();
  if (!in_.ok()) return in_.status();
  if (table_length > length_field - (chain_base_ + 1)) return ReaderError::malformed("offset table overlaps the chains");
  const std::uint64_t table_start = length_field - table_length;
  in_.seek(table_start);
  table_bytes_.resize(static_cast<std::size_t>(table_length));
  if (!in_.read_into(table_bytes_)) return in_.status();
  auto chains = read_signal_locs(table_bytes_, section.kind, signal_count, table_start - chain_base_);
  if (!chains.ok()) return chains.error();
  chains_ = std::move(chains).value();
  return Status();
}

void SectionChains::clear_unpacked() {
  const std::size_t signal_count = meta_.signals.size();
  chain_bytes_.clear();
  // Stored chains unpack to their own length: room for them all at once.
  // Chains do not overlap, so their lengths add up to at most the section's.
  std::uint64_t stored = 0;
  for (const auto& chain : chains_) {
    if (chain.owner == chain.signal_index) stored += chain.length;
  }
  chain_bytes_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(stored, in_.size())));
  start_.assign(signal_count, 0);
  length_.assign(signal_count, 0);
  unpacked_at_.assign(signal_count, kNoSignal);
}

Status SectionChains::unpack(const ChainLocation& chain) {
  const std::uint32_t s = chain.signal_index;
  if (unpacked_at_[chain.owner] != kNoSignal) {
    start_[s] = start_[unpacked_at_[chain.owner]];
    length_[s] = length_[unpacked_at_[chain.owner]];
    return Status();
  }
  const std::size_t before = chain_bytes_.size();
  in_.seek(chain_base_ + chain.offset);
  const Status status = read_packed_signal_value_bytes(in_, chain.length, pack_, chain_bytes_, scratch_);
  if (!status.ok()) return status;
  // Positions are kept as u32 per signal.
  if (chain_bytes_.size() >= kNoSignal) {
    return ReaderError::malformed("value changes of one section exceed 4 GiB once unpacked");
  }
  start_[s] = static_cast<std::uint32_t>(before);
  length_[s] = static_cast<std::uint32_t>(chain_bytes_.size() - before);
  unpacked_at_[chain.owner] = s;
  return Status();
}

namespace {

// Decodes the value-change sections one by one, walking each section's time
// indices and reporting every signal's records in time order.
class SectionDecoder {
 public:
  SectionDecoder(FstInput& in, const MetaData& meta, const FstFilter& filter, const SignalCallback& callback)
      : chains_(in, meta),
        meta_(meta),
        callback_(callback),
        mask_(mask_of(filter, meta.signals.size())),
        filter_end_(filter.end.value_or(meta.header.end_time)) {}

  Status run(std::uint64_t filter_start) {
    bool first = true;
    for (const auto& section : meta_.sections) {
      if (section.end_time < filter_start || section.start_time > filter_end_) continue;
      Status status = decode(section, first);
      // A failure without a file offset of its own is placed at the block,
      // whose type byte precedes the section's length field.
      if (!status.ok()) return std::move(status).error().at(section.offset - 1);
      first = false;
    }
    return Status();
  }

 private:
  Status decode(const SectionLocation& section, bool first) {
    Status status = chains_.begin(section);
    if (!status.ok()) return status;
    const auto& times = chains_.times();
    status = chains_.read_frame(section, first && (times.empty() || section.start_time < times.front()));
    if (!status.ok()) return status;
    if (chains_.has_frame()) {
      status = deliver_frame(section.start_time);
      if (!status.ok()) return status;
    }
    status = chains_.locate(section);
    if (!status.ok()) return status;
    status = unpack_chains(times.size());
    if (!status.ok()) return status;
    return walk_time_indices(times);
  }

  Status deliver_frame(std::uint64_t time) {
    ByteReader r(chains_.frame());
    for (std::size_t i = 0; i < meta_.signals.size(); ++i) {
      const SignalInfo info = meta_.signals[i];
      const auto bytes = r.read_span(static_cast<std::size_t>(info.frame_bytes()));
      if (!r.ok()) return r.status();
      if (bytes.empty() || !mask_.is_set(i)) continue;
      const auto value = info.is_real() ? FstSignalValue::of_real(read_double(bytes, meta_.float_endian))
                                        : FstSignalValue::string(as_chars(bytes));
      callback_(time, FstSignalHandle{static_cast<std::uint32_t>(i + 1)}, value);
    }
    return Status();
  }

  // Unpacks every selected chain and files each signal under the time index
  // of its first record.
  Status unpack_chains(std::size_t time_count) {
    const std::size_t signal_count = meta_.signals.size();
    chains_.clear_unpacked();
    used_.assign(signal_count, 0);
    next_.assign(signal_count, kNoSignal);
    heads_.assign(std::max<std::size_t>(time_count, 1), kNoSignal);
    for (const auto& chain : chains_.chains()) {
      const std::uint32_t s = chain.signal_index;
      if (!mask_.is_set(s)) continue;
      const Status status = chains_.unpack(chain);
      if (!status.ok()) return status;
      if (chains_.unpacked(s).empty()) continue;
      const Status filed = file_under(s, 0);
      if (!filed.ok()) return filed;
    }
    return Status();
  }

  // A reader over the part of signal `s`'s unpacked changes not yet reported.
  ByteReader unread_changes(std::uint32_t s) const { return ByteReader(chains_.unpacked(s).subspan(used_[s])); }
  bool all_read(std::uint32_t s) const { return used_[s] == chains_.unpacked(s).size(); }

  // Puts signal `s` at the head of the list of time index t + delta of its next record.
  Status file_under(std::uint32_t s, std::size_t t) {
    const SignalInfo info = meta_.signals[s];
    ByteReader r = unread_changes(s);
    const std::uint32_t v = r.read_varint_u32();
    if (!r.ok()) return r.status();
    const std::uint32_t delta = info.raw() == 2 ? ((v & 1) ? v >> 4 : v >> 2) : v >> 1;
    if (delta >= heads_.size() - t) return ReaderError::malformed("value change past the end of the time table");
    const std::size_t target = t + delta;
    next_[s] = heads_[target];
    heads_[target] = s;
    return Status();
  }

  Status walk_time_indices(const std::vector<std::uint64_t>& times) {
    for (std::size_t t = 0; t < times.size(); ++t) {
      const std::uint64_t time = times[t];
      if (time > filter_end_) break;
      while (heads_[t] != kNoSignal) {
        const std::uint32_t s = heads_[t];
        heads_[t] = next_[s];
        const Status status = deliver_record(s, time);
        if (!status.ok()) return status;
        if (all_read(s)) continue;
        const Status filed = file_under(s, t);
        if (!filed.ok()) return filed;
      }
    }
    return Status();
  }

  // Decodes the record at the signal's position, reports it and advances.
  Status deliver_record(std::uint32_t s, std::uint64_t time) {
    const SignalInfo info = meta_.signals[s];
    ByteReader r = unread_changes(s);
    const std::uint32_t v = r.read_varint_u32();
    if (!r.ok()) return r.status();
    FstSignalValue value;
    if (info.raw() == 2) {
      value = (v & 1) ? FstSignalValue::string({&kOneBitStates[(v >> 1) & 7], 1})
                      : FstSignalValue::string((v & 2) ? "1" : "0");
    } else if (info.is_real()) {
      if ((v & 1) == 0) return ReaderError::unsupported("TODO: implement support for rare packed case");
      const auto b = r.read_span(8);
      if (!r.ok()) return r.status();
      value = FstSignalValue::of_real(read_double(b, meta_.float_endian));
    } else if (info.raw() == 1) {
      const std::uint32_t k = r.read_varint_u32();
      const auto b = r.read_span(k);
      if (!r.ok()) return r.status();
      value = FstSignalValue::string(as_chars(b));
    } else {
      const Expected<std::string_view> chars = vector_value(r, v, info.bit_length());
      if (!chars.ok()) return chars.error();
      value = FstSignalValue::string(chars.value());
    }
    callback_(time, FstSignalHandle{s + 1}, value);
    used_[s] += static_cast<std::uint32_t>(r.position());
    return Status();
  }

  // A vector of `width` >= 2 bits: packed two-state bits or one character per bit.
  Expected<std::string_view> vector_value(ByteReader& r, std::uint32_t v, std::uint32_t width) {
    if (v & 1) {
      const auto b = r.read_span(width);
      if (!r.ok()) return r.error();
      return as_chars(b);
    }
    const auto b = r.read_span((static_cast<std::size_t>(width) + 7) / 8);
    if (!r.ok()) return r.error();
    expanded_.resize(width);
    for (std::size_t i = 0; i < width; ++i) expanded_[i] = (b[i / 8] >> (7 - i % 8)) & 1 ? '1' : '0';
    return std::string_view(expanded_);
  }

  SectionChains chains_;
  const MetaData& meta_;
  const SignalCallback& callback_;
  BitMask mask_;
  std::uint64_t filter_end_;
  std::string expanded_;                 // packed bits expanded to characters
  std::vector<std::uint32_t> used_;      // per signal: bytes of its unpacked chain reported
  std::vector<std::uint32_t> next_;      // per signal: next signal in the same list
  std::vector<std::uint32_t> heads_;     // per time index: first signal of its list
};

}  // namespace

Status FstReader::read_signals(const FstFilter& filter, const SignalCallback& callback) {
  Status status = SectionDecoder(input_, meta_, filter, callback).run(filter.start);
  if (status.ok()) return status;
  return placed(std::move(status).error().reading("a value-change block"));
}

}  // namespace velk::fst
