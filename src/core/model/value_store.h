// The values of every signal, kept as changes.
//
// A dump records when each signal changes, not a value per signal and index.
// The store keeps, per signal, the ascending indices at which its value
// changes and the value from each of them on, so memory follows the number of
// changes and a quiet signal costs nothing per index. Reading is exactly the
// dense model: the value at index i is the value of the last change at or
// before i, and Empty before the first one (a column that ends early carries
// an Empty change where it ends).
//
// Values are packed by kind: values of up to 64 known bits, reals and Empty
// sit inline in one 64-bit word per change (with one tag byte per change only
// while a signal holds anything but plain bits); wide, four-state and text
// values live once each in a shared pool and the word names their slot.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "model/signal_value.h"
#include "model/compact_list.h"

namespace velk {

namespace detail {

struct ValuePoolHolder;

// A column's lists start with this many bytes of room, not with one
// element: most signals of a big design change a few times, and then never
// move their lists. An appender takes such room from its store's
// SmallBlockArena (CompactList::move_to).
inline constexpr std::size_t kFirstRoomBytes = 16;

// Where a column's changes enter another block of 65,536 indices: the
// block (the indices' high bits) and the first change in it.
struct IndexBlock {
  std::uint32_t high;
  std::uint32_t first;
};

// The changes of one signal. Their indices ascend, and are kept in two
// bytes each: `low` holds the low 16 bits per change, and the high bits are
// kept once per block of 65,536 indices the signal changes in (a dump's
// busy signals change many times per block, so this halves the memory and
// the page faults of the store's largest list). The first block is kept in
// the column and any later ones in a list of their own: most signals change
// in one block only, and a design may have millions. The payload of the value
// from change k on is word(k), kept in `width` bytes per change (0, 1, 2, 4
// or 8: as many as the largest payload needs).
//
// `tag` holds the kinds of the first tag.size() changes; the changes after
// them are Bits, except the last when `ends_empty` is set. So a column of
// plain bits keeps no tags, not even to end before the last index, and a
// signal that holds other values only for a while (x until its reset) stops
// keeping a tag per change once it has held bits for a while.
struct ValueColumn {
  static constexpr unsigned kBlockBits = 16;
  static constexpr std::uint32_t kNoBlock = UINT32_MAX;
  // Changes of bits in a row after which a column stops adding tags.
  static constexpr std::size_t kTagWindow = 64;

  // Room made ahead of the changes is not zero-filled: it is written before
  // it is read.
  CompactList<std::uint16_t> low;
  CompactList<std::uint8_t, std::uint64_t> words;  // up to 8 bytes per change
  CompactList<std::uint8_t> tag;
  std::unique_ptr<std::vector<IndexBlock>> later_blocks;  // the blocks after the first; null while there is one
  std::uint32_t first_high = kNoBlock;  // the first block's high bits (it starts at change 0)
  std::uint32_t last_high = kNoBlock;   // the last block's high bits
  std::uint8_t width = 0;
  bool ends_empty = false;
  std::uint8_t bits_in_a_row = 0;  // tags of bits ending the list, up to kTagWindow

  std::size_t size() const noexcept { return low.size(); }
  bool empty() const noexcept { return low.empty(); }

  // The blocks, in order: block(0) is the first.
  std::size_t block_count() const noexcept { return low.empty() ? 0 : 1 + (later_blocks ? later_blocks->size() : 0); }
  IndexBlock block(std::size_t b) const noexcept { return b == 0 ? IndexBlock{first_high, 0} : (*later_blocks)[b - 1]; }
  // The block that holds change k (below size()), in O(log blocks): the
  // index of change k is block(b).high << kBlockBits | low[k]. Readers
  // that walk the changes keep their block at hand (SignalCursor).
  std::size_t block_of(std::size_t k) const noexcept {
    if (!later_blocks) return 0;
    const auto& later = *later_blocks;
    return static_cast<std::size_t>(std::upper_bound(later.begin(), later.end(), k,
                                                     [](std::size_t at, const IndexBlock& b) { return at < b.first; }) -
                                    later.begin());
  }
  // The first change in [from, to) whose index is above `i`, or `to`.
  std::size_t first_after(std::size_t i, std::size_t from, std::size_t to) const noexcept;
  // The number of changes at indices below `i`.
  std::size_t count_below(std::size_t i) const noexcept { return i == 0 ? 0 : first_after(i - 1, 0, size()); }

  // Appends a change at `i` (below UINT32_MAX, above the last change's index).
  void push_index(std::uint32_t i) {
    if (i >> kBlockBits != last_high) start_block(i >> kBlockBits);
    low.push_back(static_cast<std::uint16_t>(i));
  }
  // Starts the block of indices with these high bits at the next change.
  void start_block(std::uint32_t high);

  // The kind of value change k starts.
  SignalValue::Tag tag_at(std::size_t k) const noexcept {
    if (k < tag.size()) return static_cast<SignalValue::Tag>(tag[k]);
    return ends_empty && k + 1 == low.size() ? SignalValue::Tag::Empty : SignalValue::Tag::Bits;
  }
  // Whether `tag` covers every change: the next takes a tag too.
  bool tags_current() const noexcept { return !tag.empty() && tag.size() == low.size(); }
  // Whether the next change of bits takes a tag: the tags are current and
  // do not end in kTagWindow tags of bits.
  bool keeps_tags() const noexcept { return tags_current() && bits_in_a_row < kTagWindow; }
  // Appends the tag of the next change (before its index), the changes
  // since the tags' end taking tags of bits.
  void push_tag(std::uint8_t kind) {
    tag.resize(low.size(), static_cast<std::uint8_t>(SignalValue::Tag::Bits));
    tag.push_back(kind);
    note_tags(tag.size() - 1);
  }
  // Counts the tags of bits that end the list, after the tags from `from`
  // on were written: only those are read, while they are in the cache
  // (reading further back would wait on memory).
  void note_tags(std::size_t from) noexcept {
    constexpr auto kBits = static_cast<std::uint8_t>(SignalValue::Tag::Bits);
    std::size_t k = tag.size();
    while (k > from && tag.size() - k < kTagWindow && tag[k - 1] == kBits) --k;
    const std::size_t run = k == from ? bits_in_a_row + (tag.size() - from) : tag.size() - k;
    bits_in_a_row = static_cast<std::uint8_t>(std::min(run, kTagWindow));
  }

  std::uint64_t word(std::size_t k) const noexcept {
    const std::uint8_t* p = words.data() + k * width;
    switch (width) {
      case 1: return *p;
      case 2: { std::uint16_t v; std::memcpy(&v, p, 2); return v; }
      case 4: { std::uint32_t v; std::memcpy(&v, p, 4); return v; }
      case 8: { std::uint64_t v; std::memcpy(&v, p, 8); return v; }
      default: return 0;
    }
  }
};
// Two list headers of 16 bytes, one of 24 and the blocks: a column costs 80
// bytes for a signal of a big design that never changes.
static_assert(sizeof(ValueColumn) <= 80);

// The largest payload a word of `width` bytes (0, 1, 2, 4 or 8) holds.
constexpr std::uint64_t word_limit(unsigned width) noexcept {
  return width >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * width)) - 1;
}

// Writes `word` `width` bytes wide (0, 1, 2, 4 or 8) at p.
inline void put_word(std::uint8_t* p, std::uint8_t width, std::uint64_t word) noexcept {
  switch (width) {
    case 1: *p = static_cast<std::uint8_t>(word); break;
    case 2: { const auto v = static_cast<std::uint16_t>(word); std::memcpy(p, &v, 2); break; }
    case 4: { const auto v = static_cast<std::uint32_t>(word); std::memcpy(p, &v, 4); break; }
    case 8: std::memcpy(p, &word, 8); break;
    default: break;
  }
}

}  // namespace detail

// When an index with a recorded value takes its value relative to the one
// carried from the index before.
enum class FillOrder {
  // The previous value is carried in first and the record replaces it, so an
  // explicit Empty stays Empty (a reader that fills as each index opens).
  BeforeChanges,
  // Records are set first and the fill runs afterwards, so an explicit Empty
  // is replaced by the carried value (a reader that fills at the end).
  AfterChanges,
};

// Reads one signal's values; cheap to make and to copy. Reads at increasing
// indices are O(1) amortised (the cursor remembers where it is); a jump costs
// a binary search over the signal's changes. The reference a read returns is
// valid until the cursor is read again or destroyed, and reading never
// allocates or touches a reference count.
//
// A cursor is not shared between threads; make one per thread (the store
// itself is read-only and may be read by any number of cursors at once).
class SignalCursor {
 public:
  static constexpr std::size_t kNever = SIZE_MAX;

  // A cursor over no changes: Empty at every index.
  SignalCursor() noexcept = default;

  // The value at `index`.
  const SignalValue& at(std::size_t index) noexcept {
    if (index < next_ && index >= start_) return value();
    return seek(index);
  }
  // The value at the index read last (Empty before the first read).
  const SignalValue& value() const noexcept { return pooled_ ? *pooled_ : inline_; }
  // First index of the run of equal values holding the index read last.
  std::size_t run_start() const noexcept { return start_; }
  // First index after the index read last at which the stored value changes;
  // kNever when it holds to the end. Runs are split only where the stored
  // value differs bitwise, so two neighbouring runs may still compare equal
  // with == (never for Bits, Logic, WideBits, Str or Empty; a Real 0.0 and
  // -0.0 do), and a NaN run compares unequal to itself.
  std::size_t next_change() const noexcept { return next_; }
  // Number of stored changes of the whole signal: a bound for sizing outputs.
  std::size_t stored_changes() const noexcept;
  // Number of stored changes at indices below `index` (a binary search): the
  // searches weigh ranges of indices by it to share work evenly.
  std::size_t changes_before(std::size_t index) const noexcept {
    return column_ ? column_->count_below(index) : 0;
  }

  // Decodes the values over [lo, hi) into columns, for the block evaluation
  // of busy signals: word[j] is the payload of the value at lo + j when it is
  // Bits, and known[j] is all ones for Bits and zero for Empty (word[j] then
  // 0); all_bits tells whether every value is Bits, and then known may have
  // been left unwritten (nothing needs the mask). Returns the number of
  // runs over the range, or kNever, early and with the columns partly
  // written, at a value of any other kind. Leaves the
  // cursor at hi - 1 (at lo after kNever), so that reading the next range
  // costs no search.
  std::size_t read_words(std::size_t lo, std::size_t hi, std::uint64_t* word, std::uint64_t* known,
                         bool& all_bits) noexcept {
    const std::size_t n = hi - lo;
    std::uint64_t w = 0, k = 0;
    if (!word_of(at(lo), w, k)) return kNever;
    all_bits = k != 0;
    if (!column_) {
      std::fill_n(word, n, w);
      std::fill_n(known, n, k);
      return 1;
    }
    const detail::ValueColumn& c = *column_;
    const std::size_t size = c.size();
    std::size_t p = pos_;  // the first change after lo
    word[0] = w;
    known[0] = k;
    // A scan reads the next range next: fetch where its check will look
    // (a single index of a long column, so the hardware would not).
    if (size != 0) __builtin_prefetch(c.low.data() + std::min(p + 8 * n, size - 1));
    if (n > 1 && size - p >= n - 1 && index_of(p + n - 2) == hi - 1 && plain_bits(c, p, n - 1)) {
      // A change at every index of (lo, hi) (indices ascend strictly): the
      // payloads are the column, one per index.
      decode_words(c, p, n - 1, word + 1);
      if (!all_bits) std::fill_n(known + 1, n - 1, ~std::uint64_t{0});
      settle(p + n - 1);
      return n;
    }
    std::size_t j = 1, runs = 1;
    for (std::size_t at; p < size && (at = index_of(p)) < hi; ++p, ++runs) {
      for (const std::size_t at_j = at - lo; j < at_j; ++j) {
        word[j] = w;
        known[j] = k;
      }
      const auto tag = c.tag_at(p);
      if (tag == SignalValue::Tag::Bits) {
        w = c.word(p);
        k = ~std::uint64_t{0};
      } else if (tag == SignalValue::Tag::Empty) {
        w = k = 0;
        all_bits = false;
      } else {
        return kNever;
      }
    }
    for (; j < n; ++j) {
      word[j] = w;
      known[j] = k;
    }
    if (p != pos_) settle(p);
    return runs;
  }

  // Calls f(lo, value at lo), then f(index, value) for every stored change in
  // (lo, hi), in index order, straight from the change list (the scans over
  // all indices walk busy signals this way). Each value lasts for its call
  // only. Leaves the cursor at lo.
  template <class F>
  void visit_runs(std::size_t lo, std::size_t hi, F&& f) {
    f(lo, at(lo));
    if (!column_) return;
    const detail::ValueColumn& c = *column_;
    for (std::size_t p = pos_, at; p < c.size() && (at = index_of(p)) < hi; ++p) {
      switch (c.tag_at(p)) {
        case SignalValue::Tag::Bits: f(at, SignalValue::bits(c.word(p))); break;
        case SignalValue::Tag::Real: f(at, SignalValue::real(std::bit_cast<double>(c.word(p)))); break;
        case SignalValue::Tag::Empty: f(at, SignalValue()); break;
        default: f(at, pool_[c.word(p)]); break;
      }
    }
  }

 private:
  friend class ValueStore;
  SignalCursor(const detail::ValueColumn* column, const SignalValue* pool) noexcept;
  const SignalValue& seek(std::size_t index) noexcept;

  static bool word_of(const SignalValue& v, std::uint64_t& w, std::uint64_t& k) noexcept {
    if (v.tag() == SignalValue::Tag::Bits) {
      w = v.as_bits();
      k = ~std::uint64_t{0};
      return true;
    }
    w = k = 0;
    return v.tag() == SignalValue::Tag::Empty;
  }
  // Whether changes p .. p + n - 1 are all Bits (tag 0).
  static bool plain_bits(const detail::ValueColumn& c, std::size_t p, std::size_t n) noexcept {
    if (c.ends_empty && p + n >= c.size()) return false;
    std::uint8_t any = 0;
    for (std::size_t j = p, tagged = std::min(p + n, c.tag.size()); j < tagged; ++j) any |= c.tag[j];
    return any == 0;
  }
  // The payloads of changes p .. p + n - 1 (all Bits).
  static void decode_words(const detail::ValueColumn& c, std::size_t p, std::size_t n, std::uint64_t* out) noexcept {
    const std::uint8_t* from = c.words.data() + p * c.width;
    const auto widen = [&](auto unit) {
      for (std::size_t j = 0; j < n; ++j) {
        decltype(unit) v;
        std::memcpy(&v, from + j * sizeof v, sizeof v);
        out[j] = v;
      }
    };
    switch (c.width) {
      case 1: return widen(std::uint8_t{});
      case 2: return widen(std::uint16_t{});
      case 4: return widen(std::uint32_t{});
      case 8: return widen(std::uint64_t{});
      default: std::fill_n(out, n, 0); return;
    }
  }
  void settle(std::size_t pos) noexcept;
  // The index of change k, read without a search while k stays in the
  // block of indices the cursor is in.
  std::uint32_t index_of(std::size_t k) noexcept {
    if (k - block_first_ >= block_span_) enter_block(k);
    return block_base_ | column_->low[k];
  }
  void enter_block(std::size_t k) noexcept;

  const detail::ValueColumn* column_ = nullptr;
  const SignalValue* pool_ = nullptr;
  std::size_t pos_ = 0;  // changes at or before the index read last
  std::size_t start_ = 0;
  std::size_t next_ = kNever;
  SignalValue inline_;  // never holds a pooled (heap) value
  const SignalValue* pooled_ = nullptr;
  // Changes block_first_ .. block_first_ + block_span_ - 1 have indices
  // block_base_ | low[k].
  std::size_t block_first_ = 0;
  std::size_t block_span_ = 0;
  std::uint32_t block_base_ = 0;
};

class ValueStore {
 public:
  ValueStore() = default;
  ValueStore(ValueStore&&) noexcept = default;
  ValueStore& operator=(ValueStore&&) noexcept = default;
  ValueStore(const ValueStore&) = delete;
  ValueStore& operator=(const ValueStore&) = delete;

  // A cursor over `id`; an id without values reads Empty everywhere.
  SignalCursor cursor(std::uint32_t id) const noexcept;
  // Copy of the value of `id` at `index` (O(log changes)).
  SignalValue get(std::uint32_t id, std::size_t index) const;
  // One copy per index in [start, end); empty when end <= start.
  std::vector<SignalValue> get_range(std::uint32_t id, std::size_t start, std::size_t end) const;
  // Replaces the values of `id` with exactly `column` (slot i at index i,
  // Empty past its end); for readers and tests that hold a whole column.
  void assign_column(std::uint32_t id, std::span<const SignalValue> column);

  // Number of stored changes of `id` (the Empty change that ends a column
  // included).
  std::size_t change_count(std::uint32_t id) const noexcept;
  // Bytes held by the change lists and the pool (payload blocks excluded).
  std::size_t bytes_used() const noexcept;

  // Moves the columns of `part` in as those of ids first_id, first_id + 1,
  // ... (ids between this store's last column and first_id read Empty): puts
  // together a store built in parts over disjoint ranges of ids. Throws
  // std::logic_error if first_id is below this store's column count. An
  // empty store takes the first part's list of columns as it is.
  void append_columns(ValueStore&& part, std::uint32_t first_id);
  // The same for a part whose appender wrote the columns of its first
  // `in_place` ids into this store's, from first_id on (write_in_place): its
  // pool joins this store's, and its own columns follow as those of ids
  // first_id + in_place, ... Throws std::logic_error if the columns written
  // in place are not there or the part's own would overlap this store's.
  void append_part_in_place(ValueStore&& part, std::uint32_t first_id, std::uint32_t in_place);

 private:
  friend class ColumnBuilder;
  friend class ValueAppender;

  // The common part of putting parts together: the pool, the columns
  // written in place, and the part's own columns.
  void take_part(ValueStore&& part, std::uint32_t first_id, std::uint32_t in_place);

  // Before the columns, whose first lists may lie in its blocks.
  SmallBlockArena small_blocks_;
  std::vector<detail::ValueColumn> columns_;
  std::vector<SignalValue> pool_;
};

// Builds a store from values that arrive in index order per signal, as a
// dump is read: each signal keeps only its runs so far and the record at its
// latest index (which a later record at the same index replaces), so memory
// follows the number of changes. Every index must lie below the number of
// indices given to finish; values carry forward up to it, and the store reads
// exactly like the dense columns of the given fill order.
//
// Appenders over disjoint ranges of signals may run on separate threads, each
// building one part; ValueStore::append_columns puts the parts together.
class ValueAppender {
 public:
  explicit ValueAppender(FillOrder fill);
  ~ValueAppender();
  ValueAppender(const ValueAppender&) = delete;
  ValueAppender& operator=(const ValueAppender&) = delete;

  // Records the value of `id` from `index` on. Returns false, recording
  // nothing, when `index` is below the latest index recorded for `id`.
  bool append(std::uint32_t id, std::size_t index, const SignalValue& value);
  // The same for a value of up to 64 known bits, without making a SignalValue.
  bool append_bits(std::uint32_t id, std::size_t index, std::uint64_t bits) {
    return append_inline(id, index, SignalValue::Tag::Bits, bits);
  }
  // The same for a value kept inline: `tag` is Bits (word = the bits), Real
  // (word = the double's bit pattern) or Empty (word = 0).
  [[gnu::always_inline]] bool append_inline(std::uint32_t id, std::size_t index, SignalValue::Tag tag,
                                           std::uint64_t word) {
    if (id >= pending_.size()) grow(id);
    Pending& p = pending_[id];
    if (p.held) {
      if (index < p.index) return false;
      if (index > p.index) commit(p, column(id));
    }
    p.index = index;
    p.word = word;
    p.tag = static_cast<std::uint8_t>(tag);
    p.held = true;
    return true;
  }
  // One record of append_batch: what append_inline takes.
  struct InlineRecord {
    std::size_t index;
    SignalValue::Tag tag;
    std::uint64_t word;
  };
  // Records `n` values of `id` exactly as n calls of append_inline would, in
  // order; record(k) gives the k-th. It is called in order, and may be
  // called twice for the same k, so it must give the same record each time.
  // A reader that has one signal's changes together appends them this way:
  // the records that need no more than a copy (a payload within the
  // column's width) skip the per-record bookkeeping. Returns false at
  // the first record whose index is below the latest one recorded for `id`,
  // having recorded those before it.
  template <class Record>
  bool append_batch(std::uint32_t id, std::size_t n, Record&& record);
  // Room for the signals with ids below `ids`, for a reader that knows how
  // many it declares: the per-signal lists then grow without moving.
  void reserve_ids(std::size_t ids);
  // Parts of a store built on several threads share one list of columns,
  // which never moves: the first part makes the columns of every id known
  // (make_columns), and each other part writes those of its ids into them
  // (write_in_place) instead of into columns of its own that would be moved
  // later. The columns made must not be grown: an appender that made them
  // throws std::logic_error for an id past them.
  void make_columns(std::size_t ids);
  // This appender's ids below `count` are `owner`'s ids first_id ... (which
  // owner made); ids from count on get columns of their own, as usual.
  // Only for an appender that has recorded nothing yet.
  void write_in_place(ValueAppender& owner, std::uint32_t first_id, std::uint32_t count);
  // Room for `more` further changes of `id`, for a reader that knows how
  // many a signal takes: its change list then grows without copying.
  void reserve(std::uint32_t id, std::size_t more) {
    // One more for the change that ends the column; the common case, room
    // already there, is decided here, once per batch.
    if (id < pending_.size()) {
      const detail::ValueColumn& c = column(id);
      if (c.size() + more + 1 <= c.low.capacity()) return;
    }
    grow_column(id, more);
  }
  // Starts bringing what an append to `id` touches into the cache: its
  // held record and column, and (once those are there) the ends of its
  // lists. A reader that appends to signals scattered over a big design
  // asks a few signals ahead, so that their cache misses overlap instead
  // of coming one after another.
  //
  // Both are forced inline: GCC takes a function that only fetches ahead
  // for one without effects, and drops every call to it that it did not
  // inline first.
  [[gnu::always_inline]] void prefetch(std::uint32_t id) const noexcept {
    if (id >= pending_.size()) return;
    __builtin_prefetch(&pending_[id], 1);
    const auto* c = reinterpret_cast<const char*>(&column(id));
    __builtin_prefetch(c, 1);
    __builtin_prefetch(c + sizeof(detail::ValueColumn) - 1, 1);
  }
  [[gnu::always_inline]] void prefetch_ends(std::uint32_t id) const noexcept {
    if (id >= pending_.size()) return;
    const detail::ValueColumn& c = column(id);
    const std::size_t n = c.size();
    __builtin_prefetch(c.low.data() + n, 1);
    __builtin_prefetch(c.words.data() + n * c.width, 1);
  }
  // The payload word of a WideBits, Logic or Str value: its slot in this
  // appender's pool. append_inline(id, index, value.tag(), pool_slot(value))
  // appends the value, so a reader that repeats a few such values (the
  // states of a one-bit signal) looks each up once.
  std::uint64_t pool_slot(const SignalValue& value);
  // The latest index recorded for `id`, if any.
  std::optional<std::size_t> latest(std::uint32_t id) const noexcept;

  // The store over indices 0 .. indices - 1; the appender is left empty.
  // Throws std::logic_error if a recorded index is not below `indices`, and
  // std::length_error for more indices than the store can hold.
  ValueStore finish(std::size_t indices);

 private:
  // Per signal: the record at its latest index (not yet a run, as a later
  // record at the same index replaces it) and the payload of its last run.
  struct Pending {
    std::size_t index = 0;
    std::uint64_t word = 0;
    std::uint64_t last_word = 0;
    std::uint8_t tag = 0;
    std::uint8_t last_tag = static_cast<std::uint8_t>(SignalValue::Tag::Empty);  // Empty: no run yet
    bool held = false;
  };
  void grow(std::uint32_t id);
  detail::ValueColumn& column(std::uint32_t id) noexcept {
    return id < in_place_count_ ? in_place_[id] : store_.columns_[id - in_place_count_];
  }
  const detail::ValueColumn& column(std::uint32_t id) const noexcept {
    return id < in_place_count_ ? in_place_[id] : store_.columns_[id - in_place_count_];
  }
  // reserve() for a column without the room.
  void grow_column(std::uint32_t id, std::size_t more);
  // Called for nearly every record: kept inline so that a reader's loop over
  // its changes compiles into one piece.
  [[gnu::always_inline]] void commit(Pending& p, detail::ValueColumn& column) {
    constexpr auto kEmpty = static_cast<std::uint8_t>(SignalValue::Tag::Empty);
    // Filling after changes, a recorded Empty takes the carried value
    // instead, which is a non-Empty last run.
    const bool carried = p.index > 0 && p.last_tag != kEmpty;
    if (!(fill_ == FillOrder::AfterChanges && p.tag == kEmpty && carried)) push_run(p, column, p.index, p.tag, p.word);
    p.held = false;
  }
  [[gnu::always_inline]] void push_run(Pending& p, detail::ValueColumn& column, std::size_t index, std::uint8_t tag,
                                       std::uint64_t word) {
    // Equal tags and words are bitwise equal values: pooled values share a
    // slot exactly when their payloads are equal.
    if (tag == p.last_tag && (tag == static_cast<std::uint8_t>(SignalValue::Tag::Empty) || word == p.last_word)) return;
    const std::size_t n = column.size();
    const bool tagged = column.tags_current();
    // An index outside the column's last block of indices starts a block.
    if (index >= UINT32_MAX || index >> detail::ValueColumn::kBlockBits != column.last_high ||
        (!tagged && tag != static_cast<std::uint8_t>(SignalValue::Tag::Bits)) ||
        word > detail::word_limit(column.width) || (n + 1) * column.width > column.words.size()) {
      return push_run_slow(p, column, index, tag, word);
    }
    // A word that fits the column's width, with room for it, and no tags to start.
    if (tagged) column.tag.push_back(tag);
    column.low.push_back(static_cast<std::uint16_t>(index));
    detail::put_word(column.words.data() + n * column.width, column.width, word);
    p.last_tag = tag;
    p.last_word = word;
  }
  void push_run_slow(Pending& p, detail::ValueColumn& column, std::size_t index, std::uint8_t tag, std::uint64_t word);

  // append_batch's copying path: one signal's held record and last run in
  // locals, and its runs written straight into room made in the change list
  // up front. It takes the records whose run, if any, fits the column as it
  // is (a payload within the width, a tag list already there for a run that
  // is not plain bits), which is all of them for a settled column; it stops
  // at any other record, for append_inline to take. A column changes shape
  // a few times at most (a tag list once, its width up to four times), so
  // the stops, each of which makes room again, keep a batch linear.
  class BatchWriter {
   public:
    BatchWriter(FillOrder fill, Pending& slot, detail::ValueColumn& column) noexcept
        : fill_(fill), slot_(slot), column_(column) {}
    ~BatchWriter() { stop(); }
    BatchWriter(const BatchWriter&) = delete;
    BatchWriter& operator=(const BatchWriter&) = delete;

    // Starts taking records, with room for `more` runs (the change list
    // must have the capacity); false when the held record does not suit.
    bool start(std::size_t more) {
      if (active_ || more == 0) return active_;
      width_ = column_.width;
      const std::uint64_t limit = detail::word_limit(width_);
      // Runs are written into the column's last block of indices: a record
      // outside it (or past the indices a store holds) is left to
      // append_inline, which starts a block.
      if (column_.last_high == detail::ValueColumn::kNoBlock) return false;
      block_base_ = std::size_t{column_.last_high} << detail::ValueColumn::kBlockBits;
      block_end_ = std::min<std::size_t>(block_base_ + (std::size_t{1} << detail::ValueColumn::kBlockBits), UINT32_MAX);
      // The held record must make a run this path can write.
      if (slot_.held && (slot_.word > limit || slot_.index < block_base_ || slot_.index >= block_end_)) return false;
      // Without tags the loop takes bits only, and a column that has held
      // bits for a while stops adding tags.
      const bool tagged = column_.keeps_tags();
      // The room is made once and cut back by stop(): the list has the capacity.
      size_ = start_size_ = column_.size();
      const std::size_t room = size_ + more;
      column_.low.resize(room);
      index_ = column_.low.data();
      tags_ = nullptr;
      if (tagged) {
        column_.tag.resize(room);
        tags_ = column_.tag.data();
      }
      if (column_.words.size() < room * width_) column_.words.resize(room * width_);
      words_ = column_.words.data();
      active_ = true;
      return true;
    }
    // Takes records k, k + 1, ... up to n; returns where it stopped, at the
    // record it could not take. That record is asked for again by the
    // caller rather than kept: keeping it would hold it in memory on every
    // pass of the loop.
    template <class Record>
    std::size_t take(std::size_t k, std::size_t n, Record& record) {
      return fill_ == FillOrder::BeforeChanges ? take_with<FillOrder::BeforeChanges>(k, n, record)
                                               : take_with<FillOrder::AfterChanges>(k, n, record);
    }
    // Cuts the change list back to the runs written.
    void stop() noexcept {
      if (!active_) return;
      // Shrinking never reallocates: no throw.
      column_.low.resize(size_);
      if (tags_ != nullptr) {
        column_.tag.resize(size_);
        column_.note_tags(start_size_);
      }
      active_ = false;
    }

   private:
    template <FillOrder kFill, class Record>
    std::size_t take_with(std::size_t k, std::size_t n, Record& record) {
      return tags_ != nullptr ? take_with<kFill, true>(k, n, record)
                              : take_with<kFill, false>(k, n, record);
    }
    template <FillOrder kFill, bool kTags, class Record>
    std::size_t take_with(std::size_t k, std::size_t n, Record& record) {
      switch (width_) {
        case 0: return take_as<0, kFill, kTags>(k, n, record);
        case 1: return take_as<1, kFill, kTags>(k, n, record);
        case 2: return take_as<2, kFill, kTags>(k, n, record);
        case 4: return take_as<4, kFill, kTags>(k, n, record);
        default: return take_as<8, kFill, kTags>(k, n, record);
      }
    }

    // The loop, with the column's width and the fill order fixed and every
    // piece of state in a local: the words are written through a byte
    // pointer, which would make the compiler reload members after each write.
    template <unsigned kWidth, FillOrder kFill, bool kTags, class Record>
    std::size_t take_as(std::size_t k, std::size_t n, Record& record) {
      constexpr auto kBits = static_cast<std::uint8_t>(SignalValue::Tag::Bits);
      constexpr auto kEmpty = static_cast<std::uint8_t>(SignalValue::Tag::Empty);
      constexpr std::uint64_t kLimit = detail::word_limit(kWidth);
      constexpr bool after_changes = kFill == FillOrder::AfterChanges;
      if (k < n && !slot_.held) {
        // Nothing held yet: the first record is held without a run.
        const InlineRecord r = record(k);
        if ((r.word > kLimit) | (r.index < block_base_) | (r.index >= block_end_)) return k;
        slot_.held = true;
        slot_.index = r.index;
        slot_.tag = static_cast<std::uint8_t>(r.tag);
        slot_.word = r.word;
        ++k;
      }
      if constexpr (!after_changes && kWidth < 8) return take_keyed<kWidth, kTags>(k, n, record);
      std::uint16_t* const index = index_;
      // Records at or above the held one's index: only the block's end needs a check.
      const std::size_t block_end = block_end_;
      std::uint8_t* const tags = tags_;
      std::uint8_t* const words = words_;
      std::size_t size = size_;
      std::size_t held_index = slot_.index;
      std::uint8_t held_tag = slot_.tag;
      std::uint64_t held_word = slot_.word;
      std::uint8_t last_tag = slot_.last_tag;
      std::uint64_t last_word = slot_.last_word;
      for (; k < n; ++k) {
        const InlineRecord r = record(k);
        if ((r.word > kLimit) | (r.index >= block_end) | (r.index < held_index)) break;
        if (r.index != held_index) {
          // The held record becomes a run, as commit() and push_run() decide.
          // Values repeat and alternate with Empty at random in a dump, so
          // the decision is computed rather than branched on (bitwise
          // operators keep the compiler from branching), and the run is
          // written in any case: only the size decides whether it stays.
          // Filling before changes, the held record (an Empty's word is 0)
          // makes a run exactly when it differs from the last run, and is
          // the last run afterwards either way.
          const bool push_value = (held_tag != last_tag) | (held_word != last_word);
          const bool held_empty = held_tag == kEmpty;
          const bool push_empty = (last_tag != kEmpty) & !(after_changes & (held_index > 0));
          const bool push = after_changes ? (held_empty & push_empty) | (!held_empty & push_value) : push_value;
          // The first run of another kind than bits starts the tag list.
          if (!kTags && push && held_tag != kBits) break;
          index[size] = static_cast<std::uint16_t>(held_index);
          if constexpr (kTags) tags[size] = held_tag;
          if constexpr (kWidth != 0) detail::put_word(words + size * kWidth, kWidth, held_word);
          size += push;
          last_tag = after_changes && !push ? last_tag : held_tag;
          last_word = after_changes && !push ? last_word : held_word;
        }
        held_index = r.index;
        held_tag = static_cast<std::uint8_t>(r.tag);
        held_word = r.word;
      }
      size_ = size;
      slot_.index = held_index;
      slot_.tag = held_tag;
      slot_.word = held_word;
      slot_.last_tag = last_tag;
      slot_.last_word = last_word;
      return k;
    }

    // take_as filling before changes with payloads narrower than a word:
    // a run's tag and payload travel as one key (the tag in the top byte),
    // which frees the registers the loop would otherwise spill.
    //
    // Not inlined into the flattened append_batch: in that one large
    // function GCC kept the held key, the held index and the list pointers
    // on the stack, and each pass of the loop waited for them to come back.
    // Compiled on its own the loop keeps them in registers (loads ran 2 to
    // 3% faster).
    template <unsigned kWidth, bool kTags, class Record>
    [[gnu::noinline]] std::size_t take_keyed(std::size_t k, std::size_t n, Record& record) {
      static_assert(kWidth < 8);
      constexpr auto kBits = static_cast<std::uint8_t>(SignalValue::Tag::Bits);
      constexpr std::uint64_t kLimit = detail::word_limit(kWidth);
      const auto key_of = [](std::uint8_t tag, std::uint64_t word) { return word | std::uint64_t{tag} << 56; };
      std::uint16_t* const index = index_;
      // Records at or above the held one's index: only the block's end needs a check.
      const std::size_t block_end = block_end_;
      std::uint8_t* const tags = tags_;
      std::uint8_t* const words = words_;
      std::size_t size = size_;
      std::size_t held_index = slot_.index;
      std::uint64_t held = key_of(slot_.tag, slot_.word);
      std::uint64_t last = key_of(slot_.last_tag, slot_.last_word);
      // A copy the byte writes below cannot alias: what the record function
      // holds stays in registers instead of being read again per record.
      Record local = record;
      for (; k < n; ++k) {
        const InlineRecord r = local(k);
        if ((r.word > kLimit) | (r.index >= block_end) | (r.index < held_index)) [[unlikely]] break;
        // Made at once, so that no byte of the record stays live through the
        // loop: a register spilled as its low half and reloaded whole waits
        // for the store to reach the cache.
        const std::uint64_t key = key_of(static_cast<std::uint8_t>(r.tag), r.word);
        if (r.index != held_index) {
          // The held record makes a run exactly when it differs from the
          // last run, and is the last run afterwards either way; the run is
          // written in any case, and only the size decides whether it stays.
          const bool push = held != last;
          const auto held_tag = static_cast<std::uint8_t>(held >> 56);
          if (!kTags && push && held_tag != kBits) [[unlikely]] break;
          index[size] = static_cast<std::uint16_t>(held_index);
          if constexpr (kTags) tags[size] = held_tag;
          if constexpr (kWidth != 0) detail::put_word(words + size * kWidth, kWidth, held & kLimit);
          size += push;
          last = held;
        }
        held_index = r.index;
        held = key;
      }
      size_ = size;
      slot_.index = held_index;
      slot_.tag = static_cast<std::uint8_t>(held >> 56);
      slot_.word = held & kLimit;
      slot_.last_tag = static_cast<std::uint8_t>(last >> 56);
      slot_.last_word = last & kLimit;
      return k;
    }

    FillOrder fill_;
    Pending& slot_;
    detail::ValueColumn& column_;
    bool active_ = false;
    std::uint16_t* index_ = nullptr;
    // The indices a run may take: the column's last block, below UINT32_MAX.
    std::size_t block_base_ = 0;
    std::size_t block_end_ = 0;
    std::uint8_t* tags_ = nullptr;
    std::uint8_t* words_ = nullptr;
    std::size_t size_ = 0;
    std::size_t start_size_ = 0;
    std::uint8_t width_ = 0;
  };

  FillOrder fill_;
  ValueStore store_;
  std::vector<Pending> pending_;
  std::unique_ptr<detail::ValuePoolHolder> pool_;
  // The columns of ids below in_place_count_, in another appender's store.
  detail::ValueColumn* in_place_ = nullptr;
  std::uint32_t in_place_count_ = 0;
  bool made_columns_ = false;  // other parts write into store_.columns_
};

// Sets up appenders to build one store on several threads, one part each:
// part t takes the ids from first_ids[t] up to first_ids[t + 1], the last
// part those up to `ids` and any that come later. The first part makes the
// columns of the ids below `ids` and the others write theirs in place
// (make_columns, write_in_place); each makes room for its share.
void share_columns(std::span<ValueAppender* const> parts, std::span<const std::uint32_t> first_ids, std::uint32_t ids);
// The store put together from what the parts set up by share_columns
// finished, in their order.
ValueStore join_parts(std::span<ValueStore> finished, std::span<const std::uint32_t> first_ids, std::uint32_t ids);

// Flattened: left to itself, the compiler calls out for the record function
// and the lists' resizing once the batch loops are inlined, which costs the
// join a few percent of its instructions.
template <class Record>
[[gnu::flatten]] bool ValueAppender::append_batch(std::uint32_t id, std::size_t n, Record&& record) {
  if (n < 2) {
    // A single record costs less than starting and stopping the copying path.
    if (n == 0) return true;
    const InlineRecord r = record(0);
    return append_inline(id, r.index, r.tag, r.word);
  }
  reserve(id, n);  // every record makes at most one run
  BatchWriter batch(fill_, pending_[id], column(id));
  for (std::size_t k = 0; k < n; ++k) {
    if (batch.start(n - k)) {
      k = batch.take(k, n, record);
      batch.stop();
      if (k == n) break;
    }
    const InlineRecord r = record(k);
    // Anything else goes the general way; a column changes kind (tags,
    // width) only a few times, so the copying path soon takes over again.
    if (!append_inline(id, r.index, r.tag, r.word)) return false;
  }
  return true;
}

// Calls f(index, value) for the value at `start` and then for every stored
// change in (start, end), in index order: the runs of the signal over the range.
template <class F>
void for_each_run(SignalCursor cursor, std::size_t start, std::size_t end, F&& f) {
  if (end <= start) return;
  for (std::size_t i = start; i < end;) {
    f(i, cursor.at(i));
    i = cursor.next_change();
  }
}

}  // namespace velk
