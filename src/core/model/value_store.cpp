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

bool same_bits(const SignalValue& a, const SignalValue& b) noexcept {
  if (a.tag() != b.tag()) return false;
  switch (a.tag()) {
    case Tag::Bits: return a.as_bits() == b.as_bits();
    case Tag::Real: return std::bit_cast<std::uint64_t>(a.as_real()) == std::bit_cast<std::uint64_t>(b.as_real());
    case Tag::Empty: return true;
    default: return payload_bytes(a) == payload_bytes(b);
  }
}

std::size_t ValuePool::KeyHash::operator()(const Key& k) const noexcept {
  return std::hash<std::string_view>{}(k.bytes) * 31 + static_cast<std::size_t>(k.tag);
}

std::uint64_t ValuePool::slot(const SignalValue& v) {
  const auto it = slots_.find(Key{v.tag(), payload_bytes(v)});
  if (it != slots_.end()) return it->second;
  const auto at = static_cast<std::uint64_t>(values_.size());
  values_.push_back(v);
  // The key views the pooled copy's payload block, which outlives the map.
  slots_.emplace(Key{v.tag(), payload_bytes(values_.back())}, at);
  return at;
}

void RunWriter::emit(std::size_t index, const SignalValue& v) {
  if (same_bits(v, last_)) return;
  if (index >= UINT32_MAX) throw std::length_error("value store: too many indices");
  std::uint64_t word = 0;
  switch (v.tag()) {
    case Tag::Bits: word = v.as_bits(); break;
    case Tag::Real: word = std::bit_cast<std::uint64_t>(v.as_real()); break;
    case Tag::Empty: break;
    default: word = pool_.slot(v); break;
  }
  // Tags are kept from the first value that is not plain bits on.
  if (v.tag() != Tag::Bits || !column_.tag.empty()) {
    column_.tag.resize(column_.index.size(), static_cast<std::uint8_t>(Tag::Bits));
    column_.tag.push_back(static_cast<std::uint8_t>(v.tag()));
  }
  column_.index.push_back(static_cast<std::uint32_t>(index));
  column_.word.push_back(word);
  last_ = v;
}

void RunWriter::finish() {
  column_.index.shrink_to_fit();
  column_.word.shrink_to_fit();
  column_.tag.shrink_to_fit();
}

}  // namespace detail

SignalCursor::SignalCursor(const detail::ValueColumn* column, const SignalValue* pool) noexcept
    : column_(column), pool_(pool) {
  settle(0);
}

void SignalCursor::settle(std::size_t pos) noexcept {
  const auto& c = *column_;
  pos_ = pos;
  start_ = pos == 0 ? 0 : c.index[pos - 1];
  next_ = pos < c.index.size() ? c.index[pos] : kNever;
  pooled_ = nullptr;
  if (pos == 0) {
    inline_ = SignalValue();
    return;
  }
  const std::uint64_t word = c.word[pos - 1];
  const auto tag = c.tag.empty() ? SignalValue::Tag::Bits : static_cast<SignalValue::Tag>(c.tag[pos - 1]);
  switch (tag) {
    case SignalValue::Tag::Bits: inline_ = SignalValue::bits(word); break;
    case SignalValue::Tag::Real: inline_ = SignalValue::real(std::bit_cast<double>(word)); break;
    case SignalValue::Tag::Empty: inline_ = SignalValue(); break;
    default: pooled_ = &pool_[word]; break;
  }
}

const SignalValue& SignalCursor::seek(std::size_t index) noexcept {
  // Only a cursor over a column can miss its current run.
  const auto& idx = column_->index;
  std::size_t pos;
  if (index >= next_) {
    // Sequential reads usually land in the next run or one shortly after it.
    pos = pos_ + 1;
    for (int step = 0; step < 4 && pos < idx.size() && idx[pos] <= index; ++step) ++pos;
    if (pos < idx.size() && idx[pos] <= index) {
      pos = static_cast<std::size_t>(std::upper_bound(idx.begin() + static_cast<std::ptrdiff_t>(pos), idx.end(), index,
                                                      [](std::size_t i, std::uint32_t at) { return i < at; }) -
                                     idx.begin());
    }
  } else {
    pos = static_cast<std::size_t>(std::upper_bound(idx.begin(), idx.begin() + static_cast<std::ptrdiff_t>(pos_), index,
                                                    [](std::size_t i, std::uint32_t at) { return i < at; }) -
                                   idx.begin());
  }
  settle(pos);
  return value();
}

SignalCursor ValueStore::cursor(std::uint32_t id) const noexcept {
  if (id >= columns_.size() || columns_[id].index.empty()) return SignalCursor();
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
  columns_[id] = {};
  detail::ValuePool pool(pool_);
  detail::RunWriter out(columns_[id], pool);
  for (std::size_t i = 0; i < column.size(); ++i) out.emit(i, column[i]);
  out.emit(column.size(), SignalValue());
  out.finish();
}

std::size_t ValueStore::change_count(std::uint32_t id) const noexcept {
  return id < columns_.size() ? columns_[id].index.size() : 0;
}

std::size_t ValueStore::bytes_used() const noexcept {
  std::size_t bytes = columns_.capacity() * sizeof(detail::ValueColumn) + pool_.capacity() * sizeof(SignalValue);
  for (const auto& c : columns_) {
    bytes += c.index.capacity() * sizeof(std::uint32_t) + c.word.capacity() * sizeof(std::uint64_t) + c.tag.capacity();
  }
  return bytes;
}

}  // namespace velk
