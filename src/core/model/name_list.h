// A list of names kept end to end in one buffer, each found by where it
// ends. A big design declares hundreds of thousands of signals: kept this
// way, a name costs its characters and one offset, where a string object
// apiece would cost 32 bytes more and a heap block for any name longer than
// fifteen characters (most full names), and a free of each when the trace
// goes.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace velk {

class NameList {
 public:
  // Reads the names in order, as views into the list.
  class Iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using reference = std::string_view;
    using pointer = void;

    Iterator() noexcept = default;
    Iterator(const NameList* list, std::size_t place) noexcept : list_(list), place_(place) {}

    std::string_view operator*() const noexcept { return (*list_)[place_]; }
    std::string_view operator[](difference_type n) const noexcept { return (*list_)[place_ + static_cast<std::size_t>(n)]; }
    Iterator& operator++() noexcept { return ++place_, *this; }
    Iterator operator++(int) noexcept { return {list_, place_++}; }
    Iterator& operator--() noexcept { return --place_, *this; }
    Iterator operator--(int) noexcept { return {list_, place_--}; }
    Iterator& operator+=(difference_type n) noexcept { return place_ += static_cast<std::size_t>(n), *this; }
    Iterator& operator-=(difference_type n) noexcept { return place_ -= static_cast<std::size_t>(n), *this; }
    friend Iterator operator+(Iterator i, difference_type n) noexcept { return i += n; }
    friend Iterator operator+(difference_type n, Iterator i) noexcept { return i += n; }
    friend Iterator operator-(Iterator i, difference_type n) noexcept { return i -= n; }
    friend difference_type operator-(const Iterator& a, const Iterator& b) noexcept {
      return static_cast<difference_type>(a.place_) - static_cast<difference_type>(b.place_);
    }
    friend bool operator==(const Iterator& a, const Iterator& b) noexcept { return a.place_ == b.place_; }
    friend auto operator<=>(const Iterator& a, const Iterator& b) noexcept { return a.place_ <=> b.place_; }

   private:
    const NameList* list_ = nullptr;
    std::size_t place_ = 0;
  };

  using value_type = std::string_view;
  using iterator = Iterator;
  using const_iterator = Iterator;

  std::size_t size() const noexcept { return ends_.size(); }
  bool empty() const noexcept { return ends_.empty(); }
  // The name at `place` (below size()); valid until the list changes.
  std::string_view operator[](std::size_t place) const noexcept {
    const std::size_t begin = place == 0 ? 0 : ends_[place - 1];
    return {chars_.data() + begin, ends_[place] - begin};
  }
  std::string_view back() const noexcept { return (*this)[size() - 1]; }
  Iterator begin() const noexcept { return {this, 0}; }
  Iterator end() const noexcept { return {this, size()}; }

  // Adds `name` after the others; on failure the list is as it was.
  void push_back(std::string_view name) { push_pieces(name, {}, false); }
  // Adds scope + "." + leaf, a name inside a scope, without making the
  // joined text first.
  void push_back(std::string_view scope, std::string_view leaf) { push_pieces(scope, leaf, true); }
  // Keeps, from place `first` on, the names at the places for which
  // keep(place) holds, in order; asked once per place, in order.
  template <class Keep>
  void keep_if(std::size_t first, Keep&& keep) {
    std::size_t kept = first;
    std::size_t to = first == 0 ? 0 : ends_[first - 1];
    std::size_t from = to;
    for (std::size_t p = first; p < ends_.size(); ++p) {
      const std::size_t end = ends_[p];
      if (keep(p)) {
        // Names only move towards the front, so a name is copied before
        // what it overwrites is needed.
        if (to != from) std::memmove(chars_.data() + to, chars_.data() + from, end - from);
        to += end - from;
        ends_[kept++] = to;
      }
      from = end;
    }
    ends_.resize(kept);
    chars_.resize(to);
  }

  friend bool operator==(const NameList& a, const NameList& b) noexcept {
    return a.ends_ == b.ends_ && a.chars_ == b.chars_;
  }
  // Whether the list holds exactly `names`, in order.
  friend bool operator==(const NameList& a, const std::vector<std::string>& names) noexcept {
    if (a.size() != names.size()) return false;
    for (std::size_t p = 0; p < names.size(); ++p) {
      if (a[p] != names[p]) return false;
    }
    return true;
  }

 private:
  void push_pieces(std::string_view first, std::string_view leaf, bool joined) {
    const std::size_t old = chars_.size();
    try {
      chars_.append(first);
      if (joined) (chars_ += '.').append(leaf);
      ends_.push_back(chars_.size());
    } catch (...) {
      chars_.resize(old);
      throw;
    }
  }

  std::string chars_;
  std::vector<std::size_t> ends_;  // where each name ends in chars_
};

}  // namespace velk
