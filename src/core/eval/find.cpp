#include "eval/find.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <numeric>

#include "eval/case_fold.h"
#include "eval/glob.h"
#include "eval/program.h"
#include "eval/scanner.h"
#include "eval/worker_pool.h"

namespace velk {
namespace {

constexpr std::size_t kMinNameChunk = 256;

// Splits [0, n) into pieces and runs piece(begin, end, k) for each on the
// pool; k numbers the pieces in range order.
template <class Piece>
std::size_t run_pieces(std::size_t n, std::size_t min_chunk, Piece&& piece,
                       std::vector<typename std::invoke_result_t<Piece, std::size_t, std::size_t>>& out,
                       std::size_t pieces_per_thread = 8) {
  WorkerPool& pool = WorkerPool::instance();
  const std::size_t chunk = chunk_size(n, (pool.size() + 1) * pieces_per_thread / 8, min_chunk);
  const std::size_t pieces = n == 0 ? 0 : (n - 1) / chunk + 1;
  out.resize(pieces);
  pool.run(pieces, [&](std::size_t k) {
    const std::size_t begin = k * chunk;
    const std::size_t end = std::min(n, begin + chunk);
    out[k] = piece(begin, end);
  });
  return pieces;
}

// Joins per-piece lists in range order.
template <class T>
std::vector<T> concat(std::vector<std::vector<T>>& parts) {
  std::size_t total = 0;
  for (const auto& part : parts) total += part.size();
  std::vector<T> out;
  out.reserve(total);
  for (auto& part : parts) std::move(part.begin(), part.end(), std::back_inserter(out));
  return out;
}

// Candidate indices are 0 ..= max_index: index 0 is always evaluated, even
// for a trace without timestamps.
std::size_t candidate_count(const Trace& trace) { return trace.max_index() + 1; }

// Changes at index among the names that pass `keep`, on the pool, in the
// order of signal_names.
template <class Keep>
std::vector<Change> changes(const Trace& trace, std::size_t index, Keep keep) {
  if (index == 0) return {};  // index 0 has no predecessor
  const NameList& names = trace.signal_names();
  std::vector<std::vector<Change>> parts;
  run_pieces(
      names.size(), kMinNameChunk,
      [&](std::size_t begin, std::size_t end) {
        std::vector<Change> found;
        for (std::size_t i = begin; i < end; ++i) {
          const std::string_view name = names[i];
          if (!keep(name)) continue;
          const auto id = trace.signal_id(name);
          if (!id) continue;
          // Without a stored change at index the value there is bitwise the
          // one before, equal to it unless a NaN: one search per name, a
          // second only for the names that changed.
          SignalCursor values = trace.cursor(*id);
          const SignalValue& at_index = values.at(index);
          const bool nan = at_index.tag() == SignalValue::Tag::Real && std::isnan(at_index.as_real());
          if (values.run_start() != index && !nan) continue;
          SignalValue new_value = at_index;
          const SignalValue& old_value = values.at(index - 1);
          if (new_value == old_value) continue;
          found.push_back(Change{std::string(name), old_value, std::move(new_value)});
        }
        return found;
      },
      parts);
  return concat(parts);
}

// The indices of [from, to) at which the program's tree holds, ascending.
std::vector<std::size_t> hits_in(const Trace& trace, const detail::Program& program, std::size_t from,
                                 std::size_t to) {
  struct Hits {
    std::vector<std::size_t> list;
    void stretches(const std::size_t* starts, const detail::Cell* root, std::size_t k, std::size_t end) {
      for (std::size_t j = 0; j < k; ++j) {
        if (!detail::truth_of(root[j])) continue;
        const std::size_t stop = j + 1 < k ? starts[j + 1] : end;
        for (std::size_t i = starts[j]; i < stop; ++i) list.push_back(i);
      }
    }
    void dense(std::size_t begin, std::size_t len, const std::uint64_t* truth) {
      for (std::size_t w = 0; w < (len + 63) / 64; ++w) {
        for (std::uint64_t bits = truth[w]; bits != 0; bits &= bits - 1) {
          list.push_back(begin + w * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
        }
      }
    }
  } hits;
  detail::Scanner scanner(trace, program);
  scanner.scan(from, to, hits);
  return std::move(hits.list);
}

std::uint64_t count_in(const Trace& trace, const detail::Program& program, std::size_t from, std::size_t to) {
  struct Count {
    std::uint64_t n = 0;
    void stretches(const std::size_t* starts, const detail::Cell* root, std::size_t k, std::size_t end) {
      for (std::size_t j = 0; j < k; ++j) {
        if (detail::truth_of(root[j])) n += (j + 1 < k ? starts[j + 1] : end) - starts[j];
      }
    }
    void dense(std::size_t, std::size_t len, const std::uint64_t* truth) {
      for (std::size_t w = 0; w < (len + 63) / 64; ++w) n += static_cast<std::uint64_t>(std::popcount(truth[w]));
    }
  } count;
  detail::Scanner scanner(trace, program);
  scanner.scan(from, to, count);
  return count.n;
}

// The searches over all indices split [0, n) into pieces of about equal work
// rather than equal length: the cost of a range follows the changes its
// leaves read there (each one a stretch to evaluate, or a value to decode)
// as well as its length. One unit is about one quiet index.
constexpr std::size_t kUnitsPerChange = 4;
// A piece worth less than this (some 50 microseconds) costs more to hand over
// than it saves; a search worth less runs on the calling thread alone.
constexpr std::size_t kMinPieceUnits = std::size_t{1} << 18;
// Pieces per thread: a few, claimed by whichever thread is free, even out
// what the estimate misses.
constexpr std::size_t kPiecesPerThread = 4;
// The estimate weighs at most this many leaves (it only has to be rough).
constexpr std::size_t kWeighedLeaves = 64;

class WorkEstimate {
 public:
  WorkEstimate(const Trace& trace, const detail::Program& program) {
    const auto& leaves = program.leaves();
    for (std::size_t l = 0; l < leaves.size() && l < kWeighedLeaves; ++l) {
      const SignalCursor cursor = trace.cursor(leaves[l].id);
      // The leaf reads signal indices from max(offset, 0) on.
      const std::size_t first = leaves[l].offset > 0 ? static_cast<std::size_t>(leaves[l].offset) : 0;
      leaves_.push_back(Leaf{cursor, leaves[l].offset, first, cursor.changes_before(first)});
    }
  }

  // Units of work of the search over [0, i).
  std::size_t before(std::size_t i) const {
    std::size_t units = i;
    for (const Leaf& leaf : leaves_) {
      // The leaf reads signal indices [offset, i + offset), clipped to >= 0.
      const __int128 end = static_cast<__int128>(i) + leaf.offset;
      if (end <= static_cast<__int128>(leaf.first)) continue;
      const auto clipped = static_cast<std::size_t>(std::min<__int128>(end, static_cast<__int128>(SIZE_MAX / 2)));
      const std::size_t changes = leaf.cursor.changes_before(clipped) - leaf.changes_before_first;
      units += std::min(changes, SIZE_MAX / 2 / kUnitsPerChange / kWeighedLeaves) * kUnitsPerChange;
    }
    return units;
  }

 private:
  struct Leaf {
    SignalCursor cursor;
    std::int64_t offset;
    std::size_t first;  // the first signal index the leaf reads
    std::size_t changes_before_first;
  };
  std::vector<Leaf> leaves_;
};

// Piece boundaries 0 = b[0] < b[1] < ... < b[pieces] = n of about equal work.
std::vector<std::size_t> split_by_work(const Trace& trace, const detail::Program& program, std::size_t n,
                                       std::size_t threads) {
  const WorkEstimate work(trace, program);
  const std::size_t total = work.before(n);
  const std::size_t pieces =
      std::clamp<std::size_t>(total / kMinPieceUnits, 1, std::max<std::size_t>(threads * kPiecesPerThread, 1));
  std::vector<std::size_t> bounds{0};
  for (std::size_t p = 1; p < pieces; ++p) {
    const std::size_t target = static_cast<std::size_t>(static_cast<unsigned __int128>(total) * p / pieces);
    // The first index whose work before it reaches the target.
    std::size_t lo = bounds.back() + 1, hi = n;
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (work.before(mid) >= target) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
    if (lo < n) bounds.push_back(lo);
  }
  bounds.push_back(n);
  return bounds;
}

// Runs piece(begin, end) over the pieces of [0, n) on the pool (on the
// calling thread alone when there is one piece); results in range order.
template <class Piece>
auto run_by_work(const Trace& trace, const detail::Program& program, std::size_t n, Piece&& piece) {
  WorkerPool& pool = WorkerPool::instance();
  const std::vector<std::size_t> bounds = split_by_work(trace, program, n, pool.size() + 1);
  std::vector<std::invoke_result_t<Piece, std::size_t, std::size_t>> out(bounds.size() - 1);
  pool.run(out.size(), [&](std::size_t k) { out[k] = piece(bounds[k], bounds[k + 1]); });
  return out;
}

}  // namespace

std::vector<std::size_t> find(const Trace& trace, const Expr& expr) {
  const detail::Program program(expr, trace.max_index());
  return hits_in(trace, program, 0, candidate_count(trace));
}

std::vector<std::size_t> parallel_find(const Trace& trace, const Expr& expr) {
  const detail::Program program(expr, trace.max_index());
  auto parts = run_by_work(trace, program, candidate_count(trace), [&](std::size_t begin, std::size_t end) {
    return hits_in(trace, program, begin, end);
  });
  return concat(parts);  // pieces are ascending ranges, so this is sorted
}

std::uint64_t parallel_count(const Trace& trace, const Expr& expr) {
  const detail::Program program(expr, trace.max_index());
  const auto parts = run_by_work(trace, program, candidate_count(trace), [&](std::size_t begin, std::size_t end) {
    return count_in(trace, program, begin, end);
  });
  return std::accumulate(parts.begin(), parts.end(), std::uint64_t{0});
}

std::vector<Transition> transitions(const Trace& trace, std::string_view name) {
  const auto id = trace.signal_id(name);
  if (!id) return {};
  const std::size_t last = trace.max_index();
  std::vector<Transition> out;
  SignalCursor values = trace.cursor(*id);
  SignalValue prev = values.at(0);
  for (std::size_t i = 1; i <= last; ++i) {
    const SignalValue& cur = values.at(i);
    if (!(cur == prev)) out.push_back(Transition{i, prev, cur});
    prev = cur;
  }
  return out;
}

std::vector<Change> changed_at(const Trace& trace, std::size_t index) {
  return changes(trace, index, [](std::string_view) { return true; });
}

std::vector<Change> changed_at_scope(const Trace& trace, std::size_t index, std::string_view scope) {
  std::string prefix(scope);
  prefix += '.';
  return changes(trace, index, [&prefix](std::string_view name) { return name.starts_with(prefix); });
}

std::vector<std::string> find_signals_glob(const Trace& trace, std::string_view pattern) {
  std::vector<std::string> out;
  for (const std::string_view name : trace.signal_names()) {
    if (glob_match(pattern, name)) out.emplace_back(name);
  }
  return out;
}

std::vector<std::string> find_signals_containing(const Trace& trace, std::string_view substring) {
  const std::string needle = to_lower_full(substring);
  std::vector<std::string> out;
  for (const std::string_view name : trace.signal_names()) {
    if (to_lower_full(name).find(needle) != std::string::npos) out.emplace_back(name);
  }
  return out;
}

}  // namespace velk
