// Evaluation of an expression over a range of indices, one block at a time,
// once per stretch in which none of its inputs changes. Internal to the eval
// subsystem.
//
// Between two indices at which none of the tree's signals (read at their
// rel_eval offsets) changes and no rel_eval range edge lies, every leaf reads
// the same value, so the result is the same: the scanner evaluates the first
// index of each such stretch and reports the stretch as a whole. Where the
// signals change at every index the stretches are single indices: there the
// scanner decodes each leaf's readings over the block into a column of words
// and evaluates each operator over the whole column instead (while the
// readings are Bits and Empty). It picks the way for each block from the
// density of changes seen in the block before.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "eval/cursor.h"
#include "eval/program.h"

namespace velk::detail {

class Scanner {
 public:
  Scanner(const Trace& trace, const Program& program)
      : program_(program),
        max_index_(trace.max_index()),
        block_(block_size(program.slots() + 3 * program.leaves().size())) {
    runs_.reserve(program.leaves().size());
    for (const Leaf& leaf : program.leaves()) runs_.emplace_back(trace, leaf.id, block_);
    active_.resize(program.leaves().size());
    edges_ = range_edges(program.offsets(), max_index_);
    if (program.dense()) {
      word_.resize(program.dense_columns() * dense_block_);
      known_.resize(program.dense_columns() * dense_block_);
      full_.resize(program.dense_columns());
      truth_.resize((block_ + 63) / 64);
      space_ = detail::DenseSpace{word_.data(), known_.data(), full_.data(), dense_block_};
      program.prepare_dense(space_);
    }
  }

  // Reports each block of [from, to) to the sink, in order, as one of
  //   sink.stretches(starts, root, k, end): the stretches of the block begin
  //     at starts[0..k) (ascending, the first at the block's start), the last
  //     one ends at `end`, and root[j] is the value of the tree over stretch j;
  //   sink.dense(begin, len, truth): the block is [begin, begin + len), and
  //     bit j % 64 of truth[j / 64] is the truth of the tree at begin + j
  //     (bits from len on are clear).
  template <class Sink>
  void scan(std::size_t from, std::size_t to, Sink& sink) {
    if (from < to) dense_next_ = is_busy(changes_in(from, std::min(block_, to - from)), std::min(block_, to - from));
    for (std::size_t begin = from; begin < to; begin += std::min(block_, to - begin)) {
      const std::size_t len = std::min(block_, to - begin);
      if (try_dense() && dense_block(begin, len)) {
        sink.dense(begin, len, static_cast<const std::uint64_t*>(truth_.data()));
        continue;
      }
      if (starts_.empty()) {  // first use: scans of busy signals may never get here
        cells_.resize(program_.slots() * block_);
        starts_.resize(block_);
        marks_.resize((block_ + 63) / 64);
      }
      const std::size_t k = stretch_starts(begin, begin + len);
      dense_next_ = is_busy(k, len);
      const Cell* root = program_.run(starts_.data(), k, cells_.data(), block_,
                                      [&](std::uint32_t leaf, std::size_t slot) { read_leaf(leaf, k, slot); });
      sink.stretches(static_cast<const std::size_t*>(starts_.data()), root, k, begin + len);
    }
  }

 private:
  // Enough cells per column to amortise the per-block work, few enough that
  // all columns stay in cache and a huge tree still fits in memory.
  static std::size_t block_size(std::size_t columns) {
    constexpr std::size_t kMaxBlock = 4096, kCellBudget = std::size_t{1} << 16;
    return std::clamp<std::size_t>(kCellBudget / std::max<std::size_t>(columns, 1), 1, kMaxBlock);
  }

  // Search indices i at which i + offset enters or leaves 0 ..= max_index,
  // for the offsets the program reads at; ascending.
  static std::vector<std::size_t> range_edges(const std::vector<std::int64_t>& offsets, std::size_t max_index) {
    std::vector<std::size_t> edges;
    for (const std::int64_t c : offsets) {
      if (c < 0) edges.push_back(std::size_t{0} - static_cast<std::size_t>(c));  // i + c reaches 0 (|c|, INT64_MIN included)
      const __int128 leave = static_cast<__int128>(max_index) + 1 - c;  // i + c passes max_index
      if (leave > 0 && leave <= static_cast<__int128>(max_index)) edges.push_back(static_cast<std::size_t>(leave));
    }
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    return edges;
  }

  // Evaluating a block column by column costs about as much as evaluating
  // a few stretches one by one per index; below that density the stretches
  // win (the constant comes from the search benchmark).
  static bool is_busy(std::size_t runs, std::size_t len) { return runs * 4 >= len; }

  // The changes the leaves read in [begin, begin + len): how the first
  // block of a scan is evaluated.
  std::size_t changes_in(std::size_t begin, std::size_t len) const {
    std::size_t changes = 0;
    for (std::size_t l = 0; l < runs_.size(); ++l) {
      const std::int64_t c = program_.leaves()[l].offset;
      const __int128 lo = std::max<__int128>(static_cast<__int128>(begin) + c, 0);
      const __int128 hi = std::min<__int128>(static_cast<__int128>(begin + len) + c, static_cast<__int128>(max_index_) + 1);
      if (lo < hi) changes += runs_[l].changes_in(static_cast<std::size_t>(lo), static_cast<std::size_t>(hi));
    }
    return changes;
  }

  // Whether to evaluate the next block column by column. After a block in
  // which a leaf read something other than Bits or Empty, the next few
  // blocks are not tried (a signal of such values is likely to stay so).
  bool try_dense() {
    if (!dense_next_ || !program_.dense()) return false;
    if (skip_ == 0) return true;
    --skip_;
    return false;
  }

  // Evaluates [begin, begin + len) column by column into truth_, in parts
  // small enough for all columns to stay in the first-level cache; false
  // (and truth_ unusable) when a leaf reads anything but Bits and Empty.
  bool dense_block(std::size_t begin, std::size_t len) {
    std::size_t runs = 0;
    for (std::size_t part = 0; part < len; part += dense_block_) {
      const std::size_t n = std::min(dense_block_, len - part);
      const auto read = [&](std::uint32_t leaf, std::uint64_t* word, std::uint64_t* known) {
        bool full = false;
        const std::size_t r = read_words(leaf, begin + part, n, word, known, full);
        if (r == SignalCursor::kNever) return DenseRead::kFailed;
        runs += r;
        return full ? DenseRead::kFull : DenseRead::kPartial;
      };
      if (!program_.run_dense(begin + part, n, space_, truth_.data() + part / 64, read)) {
        dense_next_ = false;
        skip_ = kSkipAfterFailure;
        return false;
      }
    }
    dense_next_ = is_busy(runs, len);
    return true;
  }

  // The leaf's readings at [begin, begin + len): Empty where it reads
  // outside the trace. Returns the number of runs, or kNever at a value
  // other than Bits and Empty; `full` tells whether every reading is Bits.
  std::size_t read_words(std::uint32_t leaf, std::size_t begin, std::size_t len, std::uint64_t* word,
                         std::uint64_t* known, bool& full) {
    const std::int64_t c = program_.leaves()[leaf].offset;
    const __int128 first = static_cast<__int128>(begin) + c;  // signal index read at j = 0
    const __int128 lo = std::max<__int128>(first, 0);
    const __int128 hi = std::min<__int128>(first + static_cast<__int128>(len), static_cast<__int128>(max_index_) + 1);
    if (lo >= hi) {
      std::fill_n(word, len, 0);
      std::fill_n(known, len, 0);
      return 1;
    }
    const auto head = static_cast<std::size_t>(lo - first);  // entries before index 0
    const auto tail = static_cast<std::size_t>(hi - first);  // entries up to max_index
    std::fill_n(word, head, 0);
    std::fill_n(known, head, 0);
    std::fill(word + tail, word + len, 0);
    std::fill(known + tail, known + len, 0);
    const std::size_t runs = runs_[leaf].read_words(static_cast<std::size_t>(lo), static_cast<std::size_t>(hi),
                                                    word + head, known + head, full);
    if (full && (head != 0 || tail != len)) {
      std::fill(known + head, known + tail, ~std::uint64_t{0});  // left unwritten by the cursor
      full = false;
    }
    return runs;
  }

  void mark(std::size_t bit) { marks_[bit / 64] |= std::uint64_t{1} << (bit % 64); }

  // Reads every leaf's runs over the block and fills starts_ with the first
  // index of every stretch of [begin, end): the block's start, each index at
  // which a leaf's run changes, and each range edge.
  std::size_t stretch_starts(std::size_t begin, std::size_t end) {
    const std::size_t len = end - begin;
    const std::size_t words = (len + 63) / 64;
    std::fill_n(marks_.begin(), words, 0);
    mark(0);
    bool every = false;  // some leaf changes at every index of the block
    for (std::size_t l = 0; l < runs_.size(); ++l) {
      const std::int64_t c = program_.leaves()[l].offset;
      // The signal indices the block reads, clipped to the trace.
      const __int128 lo = std::max<__int128>(static_cast<__int128>(begin) + c, 0);
      const __int128 hi = std::min<__int128>(static_cast<__int128>(end) + c, static_cast<__int128>(max_index_) + 1);
      active_[l] = lo < hi;
      if (!active_[l]) continue;
      LeafRuns& runs = runs_[l];
      runs.read(static_cast<std::size_t>(lo), static_cast<std::size_t>(hi));
      if (runs.count() == len) every = true;
      if (every) continue;  // marks are moot, but every leaf's runs are needed
      // The first run begins at the block's start or at a range edge.
      for (std::size_t r = 1; r < runs.count(); ++r) {
        mark(static_cast<std::size_t>(static_cast<std::int64_t>(runs.starts()[r] - begin) - c));
      }
    }
    if (every) {
      for (std::size_t j = 0; j < len; ++j) starts_[j] = begin + j;
      return len;
    }
    auto edge = std::upper_bound(edges_.begin(), edges_.end(), begin);
    for (; edge != edges_.end() && *edge < end; ++edge) mark(*edge - begin);
    std::size_t k = 0;
    for (std::size_t w = 0; w < words; ++w) {
      for (std::uint64_t bits = marks_[w]; bits != 0; bits &= bits - 1) {
        starts_[k++] = begin + w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
      }
    }
    return k;
  }

  // The leaf's cell at each stretch start: the run holding it, or Empty
  // where the leaf reads outside the trace.
  void read_leaf(std::uint32_t leaf, std::size_t k, std::size_t slot) {
    Cell* out = cells_.data() + slot * block_;
    if (!active_[leaf]) {
      std::fill_n(out, k, Cell{0, &kEmptyValue});
      return;
    }
    const std::int64_t c = program_.leaves()[leaf].offset;
    const LeafRuns& runs = runs_[leaf];
    const std::size_t* run_starts = runs.starts();
    const Cell* run_cells = runs.cells();
    const std::size_t n = runs.count();
    const std::size_t first = run_starts[0];
    if (c == 0 && n == k && first == starts_[0]) {
      std::copy_n(run_cells, k, out);  // a change at every stretch start: the runs are the column
      return;
    }
    std::size_t r = 0;
    for (std::size_t j = 0; j < k; ++j) {
      const __int128 t = static_cast<__int128>(starts_[j]) + c;
      if (t < 0 || t > static_cast<__int128>(max_index_)) {
        out[j] = Cell{0, &kEmptyValue};
        continue;
      }
      while (r + 1 < n && run_starts[r + 1] <= static_cast<std::size_t>(t)) ++r;
      out[j] = run_cells[r];
    }
  }

  const Program& program_;
  const std::size_t max_index_;
  const std::size_t block_;
  std::vector<Cell> cells_;
  std::vector<std::size_t> starts_;
  std::vector<std::uint64_t> marks_;
  std::vector<LeafRuns> runs_;
  std::vector<char> active_;  // whether the leaf reads inside the trace in this block
  std::vector<std::size_t> edges_;
  // The column-by-column workspace (empty when the program cannot use it).
  static constexpr unsigned kSkipAfterFailure = 16;
  // Entries per column (a multiple of 64, so that parts fill whole words of
  // truth_): 16 bytes each.
  static constexpr std::size_t kDenseBlock = 1024;
  const std::size_t dense_block_ = std::min(block_, kDenseBlock);
  std::vector<std::uint64_t> word_, known_, truth_;
  std::vector<char> full_;
  detail::DenseSpace space_{};
  bool dense_next_ = false;
  unsigned skip_ = 0;
};

}  // namespace velk::detail
