#include "model/value_store.h"

#include <algorithm>
#include <bit>
#include <stdexcept>

#include "model/run_writer.h"

namespace velk {

namespace detail {
namespace {

using Tag = SignalValue::Tag;

// The payload bytes of a pooled value, for hashing and comparing.
std::string_view payload_bytes(const SignalValue& v) noexcept {
  switch (v.tag()) {
    case Tag::WideBits: {
      const auto w = v.words();
      return {reinterpret_cast<const char*>(w.data()), w.size_bytes()};
    }
    case Tag::Logic: {
      const auto l = v.levels();
      return {reinterpret_cast<const char*>(l.data()), l.size()};
    }
    case Tag::Str: return v.text();
    default: return {};
  }
}

}  // namespace

std::uint8_t width_of(std::uint64_t word) noexcept {
  if (word == 0) return 0;
  if (word <= UINT8_MAX) return 1;
  if (word <= UINT16_MAX) return 2;
  if (word <= UINT32_MAX) return 4;
  return 8;
}

// Re-packs the column's words `width` bytes apart.
void widen(ValueColumn& column, std::uint8_t width, SmallBlockArena* arena) {
  const std::size_t n = column.size();
  decltype(column.words) words;
  // Keeps room reserved for changes to come.
  words.move_to(std::max(column.low.capacity() * width, kFirstRoomBytes), n * width, 0, arena);
  for (std::size_t k = 0; k < n; ++k) put_word(words.data() + k * width, width, column.word(k));
  column.words = std::move(words);
  column.width = width;
}

void move_pool_slots(ValueColumn& column, std::uint64_t base) {
  // Only a column with tags holds pooled values.
  if (base == 0 || column.tag.empty()) return;
  const std::size_t n = column.size();
  std::vector<std::uint64_t> words(n);
  std::uint8_t width = column.width;
  for (std::size_t k = 0; k < n; ++k) {
    words[k] = column.word(k);
    const auto tag = column.tag_at(k);
    if (tag == Tag::WideBits || tag == Tag::Logic || tag == Tag::Str) words[k] += base;
    width = std::max(width, width_of(words[k]));
  }
  column.words.assign(n * width, 0);
  column.width = width;
  for (std::size_t k = 0; k < n; ++k) put_word(column.words.data() + k * width, width, words[k]);
}

namespace {

// The payload word of `v`: the bits, the real's bits, 0 for Empty, or the pool slot.
std::uint64_t word_of(const SignalValue& v, ValuePool& pool) {
  switch (v.tag()) {
    case Tag::Bits: return v.as_bits();
    case Tag::Real: return std::bit_cast<std::uint64_t>(v.as_real());
    case Tag::Empty: return 0;
    default: return pool.slot(v);
  }
}

Tag last_tag(const ValueColumn& column) noexcept {
  if (column.empty()) return Tag::Empty;
  return column.tag_at(column.size() - 1);
}

}  // namespace

std::size_t ValuePool::KeyHash::operator()(const Key& k) const noexcept {
  return std::hash<std::string_view>{}(k.bytes) * 31 + static_cast<std::size_t>(k.tag);
}

std::uint64_t ValuePool::slot(const SignalValue& v) {
  const auto it = slots_.find(Key{v.tag(), payload_bytes(v)});
  if (it != slots_.end()) return it->second;
  const auto at = static_cast<std::uint64_t>(values_->size());
  values_->push_back(v);
  // The key views the pooled copy's payload block, which outlives the map.
  slots_.emplace(Key{v.tag(), payload_bytes(values_->back())}, at);
  return at;
}

bool ends_empty(const ValueColumn& column) noexcept { return last_tag(column) == Tag::Empty; }

void make_first_room(ValueColumn& column, SmallBlockArena* arena, bool tagging) {
  if (tagging && column.tag.capacity() == 0) {
    column.tag.move_to(std::max(kFirstRoomBytes, column.size() + 1), 0, 0, arena);
  }
  if (column.low.capacity() == 0) column.low.move_to(kFirstRoomBytes / sizeof(std::uint16_t), 0, 0, arena);
}

void append_run(ValueColumn& column, ValuePool& pool, SmallBlockArena* arena, std::size_t index,
                const SignalValue& v) {
  const Tag tag = v.tag();
  const std::uint64_t word = word_of(v, pool);
  // Equal tags and words are bitwise equal values: pooled values share a
  // slot exactly when their payloads are equal.
  const Tag before = last_tag(column);
  if (tag == before && (tag == Tag::Empty || (!column.empty() && column.word(column.size() - 1) == word))) {
    return;
  }
  if (index >= UINT32_MAX) throw std::length_error("value store: too many indices");
  // Tags are kept from the first value that is not plain bits on, until
  // the column has held bits for a while.
  const bool tagging = tag != Tag::Bits || column.keeps_tags();
  make_first_room(column, arena, tagging);
  if (tagging) column.push_tag(static_cast<std::uint8_t>(tag));
  const std::uint8_t width = width_of(word);
  if (width > column.width) widen(column, width, arena);
  column.push_index(static_cast<std::uint32_t>(index));
  column.words.resize(column.words.size() + column.width);
  put_word(column.words.data() + column.words.size() - column.width, column.width, word);
}

void end_column(ValueColumn& column, std::size_t index) {
  if (last_tag(column) == Tag::Empty) return;
  if (index >= UINT32_MAX) throw std::length_error("value store: too many indices");
  const std::size_t n = column.size();
  if (column.tags_current()) {
    column.tag.push_back(static_cast<std::uint8_t>(Tag::Empty));
  } else {
    column.ends_empty = true;
  }
  column.push_index(static_cast<std::uint32_t>(index));
  // An appender's words may run ahead of its changes.
  if (column.words.size() < (n + 1) * column.width) column.words.resize((n + 1) * column.width);
  put_word(column.words.data() + n * column.width, column.width, 0);
}

namespace {

// Copying a list to give back a little room costs more than the room: a
// list is cut to size only when more than a third of it is unused. (Room a
// list never wrote is not resident either.)
template <class T, class SizeT>
void shrink_when_slack(CompactList<T, SizeT>& list) {
  // A block of an arena would not be freed, nor would a smaller block be made.
  if (list.capacity() <= CompactList<T, SizeT>::kLeastOwned) return;
  if (list.capacity() - list.size() > list.capacity() / 3) list.move_to(list.size(), list.size(), list.size());
}

}  // namespace

void trim(ValueColumn& column) {
  shrink_when_slack(column.low);
  if (auto& later = column.later_blocks; later && later->capacity() - later->size() > later->capacity() / 3) {
    later->shrink_to_fit();
  }
  shrink_when_slack(column.words);
  shrink_when_slack(column.tag);
}

void ValueColumn::start_block(std::uint32_t high) {
  if (low.empty()) {
    first_high = high;
  } else {
    if (!later_blocks) later_blocks = std::make_unique<std::vector<IndexBlock>>();
    later_blocks->push_back({high, static_cast<std::uint32_t>(low.size())});
  }
  last_high = high;
}

std::size_t ValueColumn::first_after(std::size_t i, std::size_t from, std::size_t to) const noexcept {
  std::size_t found = size();
  if (i < UINT32_MAX && !low.empty()) {
    // Every change before the first block above i's lies in i's block or below it.
    const auto high = static_cast<std::uint32_t>(i >> kBlockBits);
    std::size_t above = 0;  // that block
    if (high >= first_high) {
      above = 1;
      if (later_blocks) {
        const auto& later = *later_blocks;
        above += static_cast<std::size_t>(
            std::upper_bound(later.begin(), later.end(), high, [](std::uint32_t h, const IndexBlock& b) { return h < b.high; }) -
            later.begin());
      }
    }
    if (above < block_count()) found = block(above).first;
    if (above > 0 && block(above - 1).high == high) {
      const auto begin = low.begin() + static_cast<std::ptrdiff_t>(block(above - 1).first);
      const auto end = low.begin() + static_cast<std::ptrdiff_t>(found);
      found = static_cast<std::size_t>(std::upper_bound(begin, end, static_cast<std::uint16_t>(i)) - low.begin());
    }
  }
  // Indices ascend: the first in [from, to) is the first overall, within bounds.
  return std::clamp(found, from, to);
}

struct ValuePoolHolder {
  explicit ValuePoolHolder(std::vector<SignalValue>& values) : pool(values) {}
  ValuePool pool;
};

}  // namespace detail

SignalCursor::SignalCursor(const detail::ValueColumn* column, const SignalValue* pool) noexcept
    : column_(column), pool_(pool) {
  settle(0);
}

void SignalCursor::enter_block(std::size_t k) noexcept {
  const auto& c = *column_;
  const std::size_t b = c.block_of(k);
  const detail::IndexBlock block = c.block(b);
  block_first_ = block.first;
  block_span_ = (b + 1 < c.block_count() ? c.block(b + 1).first : c.size()) - block_first_;
  block_base_ = block.high << detail::ValueColumn::kBlockBits;
}

void SignalCursor::settle(std::size_t pos) noexcept {
  const auto& c = *column_;
  pos_ = pos;
  start_ = pos == 0 ? 0 : index_of(pos - 1);
  next_ = pos < c.size() ? index_of(pos) : kNever;
  pooled_ = nullptr;
  if (pos == 0) {
    inline_ = SignalValue();
    return;
  }
  const std::uint64_t word = c.word(pos - 1);
  switch (c.tag_at(pos - 1)) {
    case SignalValue::Tag::Bits: inline_ = SignalValue::bits(word); break;
    case SignalValue::Tag::Real: inline_ = SignalValue::real(std::bit_cast<double>(word)); break;
    case SignalValue::Tag::Empty: inline_ = SignalValue(); break;
    default: pooled_ = &pool_[word]; break;
  }
}

const SignalValue& SignalCursor::seek(std::size_t index) noexcept {
  // Only a cursor over a column can miss its current run.
  const auto& c = *column_;
  const std::size_t size = c.size();
  std::size_t pos;
  if (index >= next_) {
    // Sequential reads usually land in the next run or one shortly after it.
    pos = pos_ + 1;
    for (int step = 0; step < 4 && pos < size && index_of(pos) <= index; ++step) ++pos;
    if (pos < size && index_of(pos) <= index) pos = c.first_after(index, pos, size);
  } else {
    pos = c.first_after(index, 0, pos_);
  }
  settle(pos);
  return value();
}

SignalCursor ValueStore::cursor(std::uint32_t id) const noexcept {
  if (id >= columns_.size() || columns_[id].empty()) return SignalCursor();
  return SignalCursor(&columns_[id], pool_.data());
}

SignalValue ValueStore::get(std::uint32_t id, std::size_t index) const { return cursor(id).at(index); }

std::vector<SignalValue> ValueStore::get_range(std::uint32_t id, std::size_t start, std::size_t end) const {
  std::vector<SignalValue> out;
  if (end <= start) return out;
  out.reserve(end - start);
  SignalCursor c = cursor(id);
  for (std::size_t i = start; i < end; ++i) out.push_back(c.at(i));
  return out;
}

void ValueStore::assign_column(std::uint32_t id, std::span<const SignalValue> column) {
  if (id >= columns_.size()) columns_.resize(static_cast<std::size_t>(id) + 1);
  auto& out = columns_[id];
  out = {};
  detail::ValuePool pool(pool_);
  for (std::size_t i = 0; i < column.size(); ++i) detail::append_run(out, pool, &small_blocks_, i, column[i]);
  detail::end_column(out, column.size());
  detail::trim(out);
}

std::size_t ValueStore::change_count(std::uint32_t id) const noexcept {
  return id < columns_.size() ? columns_[id].size() : 0;
}

std::size_t ValueStore::bytes_used() const noexcept {
  std::size_t bytes = columns_.capacity() * sizeof(detail::ValueColumn) + pool_.capacity() * sizeof(SignalValue);
  for (const auto& c : columns_) {
    bytes += c.low.capacity() * sizeof(std::uint16_t) + c.words.capacity() + c.tag.capacity();
    if (c.later_blocks) bytes += sizeof(*c.later_blocks) + c.later_blocks->capacity() * sizeof(detail::IndexBlock);
  }
  return bytes;
}

void ValueStore::append_columns(ValueStore&& part, std::uint32_t first_id) {
  if (first_id < columns_.size()) throw std::logic_error("value store: parts overlap");
  if (columns_.empty() && pool_.empty() && first_id == 0) {
    small_blocks_.append(std::move(part.small_blocks_));
    columns_ = std::move(part.columns_);
    pool_ = std::move(part.pool_);
    part = ValueStore();
    return;
  }
  take_part(std::move(part), first_id, 0);
}

void ValueStore::append_part_in_place(ValueStore&& part, std::uint32_t first_id, std::uint32_t in_place) {
  const std::size_t own_first = std::size_t{first_id} + in_place;
  if (own_first > columns_.size()) throw std::logic_error("value store: columns written in place are missing");
  if (!part.columns_.empty() && own_first < columns_.size()) throw std::logic_error("value store: parts overlap");
  take_part(std::move(part), first_id, in_place);
}

void ValueStore::take_part(ValueStore&& part, std::uint32_t first_id, std::uint32_t in_place) {
  small_blocks_.append(std::move(part.small_blocks_));
  const auto base = static_cast<std::uint64_t>(pool_.size());
  pool_.insert(pool_.end(), std::make_move_iterator(part.pool_.begin()), std::make_move_iterator(part.pool_.end()));
  // The part's pool slots follow this store's.
  const std::size_t own_first = std::size_t{first_id} + in_place;
  for (std::size_t id = first_id; id < own_first; ++id) detail::move_pool_slots(columns_[id], base);
  if (!part.columns_.empty()) {
    columns_.resize(own_first);
    columns_.reserve(own_first + part.columns_.size());
    for (detail::ValueColumn& column : part.columns_) {
      detail::move_pool_slots(column, base);
      columns_.push_back(std::move(column));
    }
  }
  part = ValueStore();
}

ValueAppender::ValueAppender(FillOrder fill)
    : fill_(fill), pool_(std::make_unique<detail::ValuePoolHolder>(store_.pool_)) {}

ValueAppender::~ValueAppender() = default;

std::optional<std::size_t> ValueAppender::latest(std::uint32_t id) const noexcept {
  if (id >= pending_.size() || !pending_[id].held) return std::nullopt;
  return pending_[id].index;
}

void ValueAppender::reserve_ids(std::size_t ids) {
  pending_.reserve(ids);
  if (ids > in_place_count_) store_.columns_.reserve(ids - in_place_count_);
}

void ValueAppender::make_columns(std::size_t ids) {
  if (ids > store_.columns_.size()) store_.columns_.resize(ids);
  made_columns_ = true;
}

void ValueAppender::write_in_place(ValueAppender& owner, std::uint32_t first_id, std::uint32_t count) {
  if (!pending_.empty() || !store_.columns_.empty() || static_cast<std::size_t>(first_id) + count > owner.store_.columns_.size()) {
    throw std::logic_error("value store: columns to write in place are not there");
  }
  in_place_ = owner.store_.columns_.data() + first_id;
  in_place_count_ = count;
}

void ValueAppender::grow(std::uint32_t id) {
  pending_.resize(static_cast<std::size_t>(id) + 1);
  if (id < in_place_count_) return;
  const std::size_t columns = static_cast<std::size_t>(id - in_place_count_) + 1;
  if (columns <= store_.columns_.size()) return;
  // Other parts write into these columns: moving them would pull their
  // columns from under them.
  if (made_columns_) throw std::logic_error("value store: columns shared with other parts cannot grow");
  store_.columns_.resize(columns);
}

void ValueAppender::grow_column(std::uint32_t id, std::size_t more) {
  if (id >= pending_.size()) grow(id);
  detail::ValueColumn& column = this->column(id);
  // One more for the change that ends the column. Doubling at least keeps
  // many small reservations from copying the list each time; a list that
  // grows while still small (a few KiB) quadruples, to reach the arena in
  // fewer steps of the general allocator.
  const std::size_t changes = column.size() + more + 1;
  const std::size_t capacity = column.low.capacity();
  if (changes <= capacity) return;
  const std::size_t factor = capacity * sizeof(std::uint16_t) < detail::kBulkMinBytes ? 4 : 2;
  // A power of two fills the arena's block (bulk_allocator.h) exactly.
  const std::size_t room = std::bit_ceil(std::max(changes, factor * capacity));
  const std::size_t n = column.size();
  SmallBlockArena* const arena = &store_.small_blocks_;
  column.low.move_to(room, n, n, arena);
  // While the column is built its words run ahead of the changes: only
  // those of changes made so far are copied.
  if (column.words.size() < room * column.width) {
    column.words.move_to(room * column.width, room * column.width, n * column.width, arena);
  }
  if (column.tags_current() && column.tag.capacity() < room) {
    column.tag.move_to(room, column.tag.size(), column.tag.size(), arena);
  }
}

std::uint64_t ValueAppender::pool_slot(const SignalValue& value) { return pool_->pool.slot(value); }

bool ValueAppender::append(std::uint32_t id, std::size_t index, const SignalValue& value) {
  switch (value.tag()) {
    case SignalValue::Tag::Bits: return append_inline(id, index, value.tag(), value.as_bits());
    case SignalValue::Tag::Real:
      return append_inline(id, index, value.tag(), std::bit_cast<std::uint64_t>(value.as_real()));
    case SignalValue::Tag::Empty: return append_inline(id, index, value.tag(), 0);
    default: break;
  }
  if (id < pending_.size() && pending_[id].held && index < pending_[id].index) return false;
  return append_inline(id, index, value.tag(), pool_->pool.slot(value));
}

// detail::append_run on a payload word, with the last run's payload at hand:
// the cases the inline push_run leaves (tags, widening, growing, the limit).
void ValueAppender::push_run_slow(Pending& p, detail::ValueColumn& column, std::size_t index, std::uint8_t tag,
                             std::uint64_t word) {
  constexpr auto kBits = static_cast<std::uint8_t>(SignalValue::Tag::Bits);
  constexpr std::size_t kFirstRoom = detail::kFirstRoomBytes;
  if (index >= UINT32_MAX) throw std::length_error("value store: too many indices");
  // Tags are kept from the first value that is not plain bits on (the
  // changes between the tags' end and this one are bits).
  SmallBlockArena* const arena = &store_.small_blocks_;
  const bool tagging = column.tags_current() || tag != kBits;
  detail::make_first_room(column, arena, tagging);
  if (tagging) column.push_tag(tag);
  const std::uint8_t width = detail::width_of(word);
  if (width > column.width) detail::widen(column, width, arena);
  // While the column is built its words grow ahead of the changes (not
  // per change); finish cuts them to size.
  const std::size_t n = column.size();
  column.push_index(static_cast<std::uint32_t>(index));
  const std::size_t need = (n + 1) * column.width;
  if (need > column.words.size()) {
    const std::size_t room = std::max({need, 2 * column.words.size(), kFirstRoom});
    if (room > column.words.capacity()) {
      column.words.move_to(room, room, column.words.size(), arena);
    } else {
      column.words.resize(room);
    }
  }
  detail::put_word(column.words.data() + n * column.width, column.width, word);
  p.last_tag = tag;
  p.last_word = word;
}

ValueStore ValueAppender::finish(std::size_t indices) {
  for (std::uint32_t id = 0; id < pending_.size(); ++id) {
    Pending& p = pending_[id];
    if (!p.held) continue;
    if (p.index >= indices) throw std::logic_error("value recorded past the last index");
    detail::ValueColumn& column = this->column(id);
    commit(p, column);
    detail::end_column(column, indices);
    column.words.resize(column.size() * column.width);
    detail::trim(column);
  }
  pending_.clear();
  ValueStore out = std::move(store_);
  store_ = ValueStore();
  pool_ = std::make_unique<detail::ValuePoolHolder>(store_.pool_);
  return out;
}

void share_columns(std::span<ValueAppender* const> parts, std::span<const std::uint32_t> first_ids, std::uint32_t ids) {
  const std::size_t n = parts.size();
  if (n > 1) parts[0]->make_columns(ids);
  for (std::size_t t = 0; t < n; ++t) {
    const std::uint32_t end = t + 1 < n ? first_ids[t + 1] : ids;
    if (t > 0) parts[t]->write_in_place(*parts[0], first_ids[t], end - first_ids[t]);
    parts[t]->reserve_ids(end - first_ids[t]);
  }
}

ValueStore join_parts(std::span<ValueStore> finished, std::span<const std::uint32_t> first_ids, std::uint32_t ids) {
  ValueStore store;
  const std::size_t n = finished.size();
  for (std::size_t t = 0; t < n; ++t) {
    if (t == 0) {
      store.append_columns(std::move(finished[0]), first_ids[0]);
      continue;
    }
    const std::uint32_t end = t + 1 < n ? first_ids[t + 1] : ids;
    store.append_part_in_place(std::move(finished[t]), first_ids[t], end - first_ids[t]);
  }
  return store;
}

std::size_t SignalCursor::stored_changes() const noexcept { return column_ ? column_->size() : 0; }

}  // namespace velk
