#include "eval/find.h"

#include <numeric>

#include "eval/case_fold.h"
#include "eval/glob.h"
#include "eval/program.h"
#include "eval/scanner.h"
#include "eval/worker_pool.h"

namespace velk {
namespace {

// Fewer indices than this per piece cost more in hand-over and scanner
// set-up than they save. Pieces are claimed one at a time by whichever thread
// is free, so many small pieces keep every core busy even where the density
// of changes (and with it the cost per index) varies along the trace.
constexpr std::size_t kMinIndexChunk = 16384;
constexpr std::size_t kPiecesPerThread = 32;
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
  const auto names = trace.signal_names();
  std::vector<std::vector<Change>> parts;
  run_pieces(
      names.size(), kMinNameChunk,
      [&](std::size_t begin, std::size_t end) {
        std::vector<Change> found;
        for (std::size_t i = begin; i < end; ++i) {
          const std::string& name = names[i];
          if (!keep(name)) continue;
          const auto id = trace.signal_id(name);
          if (!id) continue;
          const SignalValue& old_value = trace.value_at(*id, index - 1);
          const SignalValue& new_value = trace.value_at(*id, index);
          if (new_value == old_value) continue;
          found.push_back(Change{name, old_value, new_value});
        }
        return found;
      },
      parts);
  return concat(parts);
}

// The indices of [from, to) at which the program's tree holds, ascending.
std::vector<std::size_t> hits_in(const Trace& trace, const detail::Program& program, std::size_t from,
                                 std::size_t to) {
  detail::Scanner scanner(trace, program);
  std::vector<std::size_t> hits;
  scanner.scan(from, to, [&](const std::size_t* starts, const detail::Cell* root, std::size_t k, std::size_t end) {
    for (std::size_t j = 0; j < k; ++j) {
      if (!detail::truth_of(root[j])) continue;
      const std::size_t stop = j + 1 < k ? starts[j + 1] : end;
      for (std::size_t i = starts[j]; i < stop; ++i) hits.push_back(i);
    }
  });
  return hits;
}

std::uint64_t count_in(const Trace& trace, const detail::Program& program, std::size_t from, std::size_t to) {
  detail::Scanner scanner(trace, program);
  std::uint64_t hits = 0;
  scanner.scan(from, to, [&](const std::size_t* starts, const detail::Cell* root, std::size_t k, std::size_t end) {
    for (std::size_t j = 0; j < k; ++j) {
      if (detail::truth_of(root[j])) hits += (j + 1 < k ? starts[j + 1] : end) - starts[j];
    }
  });
  return hits;
}

}  // namespace

std::vector<std::size_t> find(const Trace& trace, const Expr& expr) {
  const detail::Program program(expr, trace.max_index());
  return hits_in(trace, program, 0, candidate_count(trace));
}

std::vector<std::size_t> parallel_find(const Trace& trace, const Expr& expr) {
  const detail::Program program(expr, trace.max_index());
  std::vector<std::vector<std::size_t>> parts;
  run_pieces(
      candidate_count(trace), kMinIndexChunk,
      [&](std::size_t begin, std::size_t end) { return hits_in(trace, program, begin, end); }, parts,
      kPiecesPerThread);
  return concat(parts);  // pieces are ascending ranges, so this is sorted
}

std::uint64_t parallel_count(const Trace& trace, const Expr& expr) {
  const detail::Program program(expr, trace.max_index());
  std::vector<std::uint64_t> parts;
  run_pieces(
      candidate_count(trace), kMinIndexChunk,
      [&](std::size_t begin, std::size_t end) { return count_in(trace, program, begin, end); }, parts,
      kPiecesPerThread);
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
  return changes(trace, index, [](const std::string&) { return true; });
}

std::vector<Change> changed_at_scope(const Trace& trace, std::size_t index, std::string_view scope) {
  std::string prefix(scope);
  prefix += '.';
  return changes(trace, index, [&prefix](const std::string& name) { return name.starts_with(prefix); });
}

std::vector<std::string> find_signals_glob(const Trace& trace, std::string_view pattern) {
  std::vector<std::string> out;
  for (const std::string& name : trace.signal_names()) {
    if (glob_match(pattern, name)) out.push_back(name);
  }
  return out;
}

std::vector<std::string> find_signals_containing(const Trace& trace, std::string_view substring) {
  const std::string needle = to_lower_full(substring);
  std::vector<std::string> out;
  for (const std::string& name : trace.signal_names()) {
    if (to_lower_full(name).find(needle) != std::string::npos) out.push_back(name);
  }
  return out;
}

}  // namespace velk
