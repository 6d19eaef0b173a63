#include "formats/vcd/vcd_loader.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "formats/vcd/vcd_chunk_parser.h"
#include "formats/vcd/vcd_declarations.h"
#include "io/line_reader.h"
#include "model/value_store.h"

namespace velk {
namespace {

// Blocks are kept far below the size at which a run's timestamp count
// would not fit a VcdChange (at least two bytes per timestamp line).
constexpr std::size_t kMaxBlockBytes = std::size_t{1} << 26;

// Signals of one part changing in a block beyond which their state is
// fetched ahead of the join, and how many signals ahead.
constexpr std::ptrdiff_t kScatteredGroups = 4096;
constexpr std::ptrdiff_t kFetchAhead = 8;

// One block of lines on its way through the load: read, parsed (on any
// thread), then joined into every part of the store.
struct Piece {
  enum class State { Unparsed, Queued, Parsed };
  LineBlock block;  // the bytes, when the input is streamed
  std::string_view text;
  VcdRun run;
  std::size_t stopped_at = 0;  // where a parallel parse met a declaration
  State state = State::Unparsed;  // guarded by the tasks' lock once queued
  bool unparsed = true;           // neither parsed nor queued (the loading thread's own view)
  std::exception_ptr error;
  std::size_t base = 0;     // the index of the run's step 0, plus one
  unsigned joins_left = 0;  // parts that have not taken the run in yet
};

// The store is built in parts, one per thread: part t holds the signals with
// ids from first_id[t] up to the next part's first id (the last part takes
// every id above), so that the parts are joined on separate threads without
// locking, each taking the runs in file order.
class StoreParts {
 public:
  explicit StoreParts(unsigned count) : finished_(count) {
    for (unsigned t = 0; t < count; ++t) appenders_.push_back(std::make_unique<ValueAppender>(FillOrder::BeforeChanges));
  }
  unsigned count() const noexcept { return static_cast<unsigned>(appenders_.size()); }
  bool split() const noexcept { return !first_id_.empty(); }

  // Splits the `signals` ids known so far so that the parts take equal
  // shares of the work the first block of values suggests: each signal
  // weighs its changes in `sample` (grouped by signal) plus one, for the
  // column it takes whether it changes there or not. A busy design's split
  // then follows its busy signals; a big design's, whose first block of
  // values holds the initial values of only its first few thousand
  // signals, stays near an even split of the ids. Each part makes room for
  // its share.
  void split(const VcdRun& sample, std::uint32_t signals) {
    const unsigned n = count();
    first_id_.assign(n, 0);
    signals_ = signals;
    const auto& groups = sample.groups;
    // The weight of the ids below `id`.
    const auto weight_below = [&](std::uint32_t id) {
      const auto g = std::lower_bound(groups.begin(), groups.end() - 1, id,
                                      [](const VcdGroup& x, std::uint32_t v) { return x.id < v; });
      return std::uint64_t{g->begin} + id;
    };
    const std::uint64_t total = sample.changes.size() + std::uint64_t{signals};
    for (unsigned t = 1; t < n; ++t) {
      // The first id whose weight below reaches the part's share.
      const std::uint64_t share = total * t / n;
      std::uint32_t lo = first_id_[t - 1];
      std::uint32_t hi = signals;
      while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        if (weight_below(mid) < share) {
          lo = mid + 1;
        } else {
          hi = mid;
        }
      }
      first_id_[t] = lo;
    }
    // The first part's columns become the store's; the last part's ids
    // declared later get columns of its own.
    std::vector<ValueAppender*> parts;
    for (const auto& appender : appenders_) parts.push_back(appender.get());
    share_columns(parts, first_id_, signals);
  }

  // Appends the changes of `run` that belong to part t, as of index `base` - 1
  // for the run's step 0. Changes before the first timestamp line of the file
  // (base + step == 0) are not kept. A value holds from its change to the
  // next one: nothing is done for a quiet signal. The changes are grouped by
  // signal, so each signal's go to the store as one batch.
  void join(unsigned t, const VcdRun& run, std::size_t base) {
    using Tag = SignalValue::Tag;
    const auto by_id = [](const VcdGroup& g, std::uint32_t id) { return g.id < id; };
    const auto& groups = run.groups;
    const auto first = std::lower_bound(groups.begin(), groups.end() - 1, first_id_[t], by_id);
    const auto last = t + 1 < count() ? std::lower_bound(first, groups.end() - 1, first_id_[t + 1], by_id) : groups.end() - 1;
    ValueAppender& out = *appenders_[t];
    const std::uint32_t offset = first_id_[t];
    // Many signals changing a few times each (a big design) are spread over
    // more memory than the cache holds: their state is fetched ahead.
    const bool scattered = last - first > kScatteredGroups;
    for (auto g = first; g != last; ++g) {
      if (scattered && last - g > 2 * kFetchAhead) {
        out.prefetch(g[2 * kFetchAhead].id - offset);
        out.prefetch_ends(g[kFetchAhead].id - offset);
      }
      const std::uint32_t id = g->id;
      const VcdChange* c = run.changes.data() + g->begin;
      const VcdChange* const end = run.changes.data() + g[1].begin;
      // Steps ascend within a signal: the changes not kept come first.
      while (c != end && base + c->step() == 0) ++c;
      if (c == end) continue;
      // The pointer and base travel in the record by value: the batch loop
      // writes bytes, which could alias anything reached by reference.
      out.append_batch(id - offset, static_cast<std::size_t>(end - c), [c, base, &out, &run](std::size_t k) {
        const VcdChange& x = c[k];
        const std::size_t at = base + x.step() - 1;
        const VcdChange::Kind kind = x.kind();
        // Bits and Empty (whose word is 0) mix at random in a dump: no branch between them.
        if (kind <= VcdChange::Kind::Empty) [[likely]] {
          static_assert(static_cast<unsigned>(VcdChange::Kind::Bits) == 0 &&
                        static_cast<unsigned>(VcdChange::Kind::Empty) == 1);
          const auto tag = static_cast<Tag>(static_cast<std::uint32_t>(kind) * static_cast<std::uint32_t>(Tag::Empty));
          return ValueAppender::InlineRecord{at, tag, x.word};
        }
        if (kind == VcdChange::Kind::Real) return ValueAppender::InlineRecord{at, Tag::Real, x.word};
        const SignalValue& v = run.listed[x.word];
        return ValueAppender::InlineRecord{at, v.tag(), out.pool_slot(v)};
      });
    }
  }

  // Ends part t at `indices`; parts may be finished on separate threads.
  void finish(unsigned t, std::size_t indices) { finished_[t] = appenders_[t]->finish(indices); }

  // The whole store, once every part is finished.
  ValueStore take() {
    // Parts never split (no timestamp line) kept nothing.
    if (first_id_.empty()) return ValueStore();
    return join_parts(finished_, first_id_, signals_);
  }

 private:
  std::vector<std::unique_ptr<ValueAppender>> appenders_;
  std::vector<std::uint32_t> first_id_;
  std::uint32_t signals_ = 0;  // the ids declared when the parts were split
  std::vector<ValueStore> finished_;
};

// Runs the load's tasks: parsing a queued piece against the code table as it
// stands (the table is only changed while no parse is queued or running),
// and joining a parsed piece into one part of the store (each part takes the
// pieces one at a time, in file order). Worker threads run them, and so does
// the loading thread whenever it waits.
//
// Each part has a thread of its own (the loading thread part 0, worker i
// part i + 1), which joins it whenever it can: a join appends to the ends of
// the part's change lists, thousands of them for a busy dump, and those stay
// in that thread's core's cache from one block to the next (loads ran 4 to
// 10% faster than with joins taken by any thread). Another thread joins
// the part when its own is away (reading or inflating the input, or not
// started yet), when pieces queue up for it, or rather than wait.
class LoadTasks {
 public:
  // The workers start with the first parse handed out: a dump of one block
  // is read on the loading thread alone.
  LoadTasks(unsigned workers, const VcdCodeTable& codes, StoreParts& parts)
      : codes_(codes),
        parts_(parts),
        joins_(parts.count()),
        joining_(parts.count(), false),
        running_tasks_(parts.count(), false),
        workers_(workers) {}
  ~LoadTasks() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    for (auto& t : threads_) t.join();
  }
  LoadTasks(const LoadTasks&) = delete;
  LoadTasks& operator=(const LoadTasks&) = delete;

  // Whether worker threads have been started.
  bool started() const noexcept { return !threads_.empty(); }

  void submit_parse(Piece& piece) {
    if (threads_.empty()) {
      for (unsigned i = 0; i < workers_; ++i) threads_.emplace_back([this, i] { work(i + 1); });
    }
    {
      std::lock_guard lock(mutex_);
      piece.state = Piece::State::Queued;
      parses_.push_back(&piece);
    }
    changed_.notify_one();
  }

  // Hands a parsed piece to every part, after the pieces handed before it.
  void submit_join(Piece& piece) {
    {
      std::lock_guard lock(mutex_);
      piece.joins_left = parts_.count();
      for (auto& queue : joins_) queue.push_back(&piece);
    }
    changed_.notify_all();
  }

  void wait_parsed(Piece& piece) {
    run_until([&] { return piece.state != Piece::State::Queued; });
  }
  bool joined(const Piece& piece) {
    std::lock_guard lock(mutex_);
    return piece.joins_left == 0;
  }
  void wait_joined(Piece& piece) {
    run_until([&] { return piece.joins_left == 0; });
    rethrow_join_error();
  }
  // Every piece handed to the parts is joined.
  void wait_all_joined() {
    run_until([&] {
      return std::all_of(joins_.begin(), joins_.end(), [](const auto& q) { return q.empty(); }) &&
             std::none_of(joining_.begin(), joining_.end(), [](bool b) { return b; });
    });
    rethrow_join_error();
  }

 private:
  using Task = std::function<void()>;

  // Takes the next task for thread `self` (0: the loading thread; there is
  // one thread per part); the lock is held. Joins come before parses, as they free pieces: the thread's own
  // part's, then those of parts whose thread is away or behind; then a
  // parse; then any join.
  bool take(Task& task, unsigned self) {
    const auto join = [&](unsigned t) {
      if (joining_[t] || joins_[t].empty()) return false;
      Piece* piece = joins_[t].front();
      joins_[t].pop_front();
      joining_[t] = true;
      task = [this, t, piece] { run_join(t, *piece); };
      return true;
    };
    // Pieces waiting for a part beyond which another thread helps out.
    constexpr std::size_t kBacklog = 2;
    if (join(self)) return true;
    for (unsigned t = 0; t < joins_.size(); ++t) {
      if ((!running_tasks_[t] || joins_[t].size() >= kBacklog) && join(t)) return true;
    }
    if (!parses_.empty()) {
      Piece* piece = parses_.front();
      parses_.pop_front();
      task = [this, piece] { run_parse(*piece); };
      return true;
    }
    for (unsigned t = 0; t < joins_.size(); ++t) {
      if (join(t)) return true;
    }
    return false;
  }

  void run_parse(Piece& piece) {
    try {
      piece.stopped_at = parse_vcd_run(piece.text, codes_, piece.run);
      piece.run.group_by_signal();
    } catch (...) {
      piece.error = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    piece.state = Piece::State::Parsed;
  }

  void run_join(unsigned t, Piece& piece) {
    std::exception_ptr error;
    try {
      parts_.join(t, piece.run, piece.base);
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    if (error && !join_error_) join_error_ = error;
    joining_[t] = false;
    --piece.joins_left;
  }

  void rethrow_join_error() {
    std::lock_guard lock(mutex_);
    if (join_error_) std::rethrow_exception(join_error_);
  }

  // Runs tasks on thread `self` until `done()` holds (checked under the lock).
  template <class Done>
  void run_until(Done&& done, unsigned self = 0) {
    std::unique_lock lock(mutex_);
    running_tasks_[self] = true;
    for (;;) {
      if (done()) {
        running_tasks_[self] = false;
        return;
      }
      Task task;
      if (take(task, self)) {
        lock.unlock();
        task();
        lock.lock();
        changed_.notify_all();
        continue;
      }
      changed_.wait(lock);
    }
  }

  // A worker's loop: once stopping, what is still queued is not wanted any more.
  void work(unsigned self) {
    run_until([this] { return stopping_; }, self);
  }

  const VcdCodeTable& codes_;
  StoreParts& parts_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Piece*> parses_;
  std::vector<std::deque<Piece*>> joins_;
  std::vector<bool> joining_;
  std::exception_ptr join_error_;
  bool stopping_ = false;
  // Per thread, so per part: whether it runs tasks now (it is in run_until)
  // rather than reading the input or not started yet.
  std::vector<bool> running_tasks_;
  unsigned workers_;
  std::vector<std::thread> threads_;
};

// The load itself: `next(piece)` fills a piece with the next block of lines
// and returns false at the end of the input.
void run_load(LoadedTrace& trace, const VcdLoadOptions& options, const std::function<bool(Piece&)>& next) {
  const unsigned threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
  VcdDeclarations declarations(trace);
  StoreParts parts(threads);

  std::deque<std::unique_ptr<Piece>> pending;  // read, in file order, not yet handed to the parts
  std::deque<std::unique_ptr<Piece>> joining;  // handed to the parts, in file order
  std::vector<std::unique_ptr<Piece>> spare;
  // Declared after the pieces so that its threads stop before they go.
  // The loading thread reads (and inflates) the input and runs tasks while
  // it waits, so it counts as one of the threads: one worker more would
  // leave more threads running than cores, which only take turns on them
  // (and switch hundreds of times a load).
  LoadTasks tasks(threads > 1 ? threads - 1 : 0, declarations.codes(), parts);
  const std::size_t depth = 2 * threads + 1;

  // Declarations come first in a dump; the blocks that hold them are parsed
  // here, applying them. Once a block with a timestamp line has gone by, the
  // blocks are parsed as tasks.
  bool in_parallel = false;
  bool input_left = true;
  const auto any_unparsed = [&] {
    return std::any_of(pending.begin(), pending.end(),
                       [](const auto& p) { return p->unparsed; });
  };
  const auto recycle_joined = [&](bool wait) {
    while (!joining.empty()) {
      if (wait) {
        tasks.wait_joined(*joining.front());
      } else if (!tasks.joined(*joining.front())) {
        break;
      }
      spare.push_back(std::move(joining.front()));
      joining.pop_front();
      wait = false;
    }
  };

  for (;;) {
    recycle_joined(false);
    // A window full of pieces being joined: make room.
    if (input_left && pending.empty() && joining.size() >= depth) recycle_joined(true);
    while (input_left && pending.size() + joining.size() < depth && !any_unparsed()) {
      std::unique_ptr<Piece> piece;
      if (spare.empty()) {
        piece = std::make_unique<Piece>();
      } else {
        piece = std::move(spare.back());
        spare.pop_back();
      }
      piece->run.clear();
      piece->error = nullptr;
      piece->state = Piece::State::Unparsed;
      piece->unparsed = true;
      if (!next(*piece)) {
        input_left = false;
        break;
      }
      Piece& added = *pending.emplace_back(std::move(piece));
      if (!in_parallel || threads == 1) break;
      added.unparsed = false;
      tasks.submit_parse(added);
    }
    if (pending.empty()) break;

    Piece& front = *pending.front();
    if (front.unparsed) {
      front.unparsed = false;
      parse_vcd_run_applying(front.text, declarations, front.run);
      front.run.group_by_signal();
      if (!front.run.timestamps.empty()) in_parallel = true;
    } else {
      tasks.wait_parsed(front);
      if (front.error) std::rethrow_exception(front.error);
      if (front.stopped_at < front.text.size()) {
        // A declaration among the values: what follows it must be read with
        // the changed table. Let the parses finish, apply the rest of this
        // block here, and parse the blocks already handed out again.
        for (auto& p : pending) tasks.wait_parsed(*p);
        parse_vcd_run_applying(front.text.substr(front.stopped_at), declarations, front.run);
        front.run.group_by_signal();
        for (std::size_t i = 1; i < pending.size(); ++i) {
          pending[i]->run.clear();
          pending[i]->error = nullptr;
          pending[i]->state = Piece::State::Unparsed;
          pending[i]->unparsed = true;
        }
      }
    }
    // Until the first timestamp line, changes are not kept: the blocks
    // before it (a big design's declarations fill many) are not joined,
    // and the parts are split by the first block that has one, when the
    // signals are declared.
    if (!parts.split() && front.run.timestamps.empty()) {
      spare.push_back(std::move(pending.front()));
      pending.pop_front();
      continue;
    }
    if (!parts.split()) parts.split(front.run, declarations.signal_count());
    front.base = trace.timestamps.size();
    trace.timestamps.insert(trace.timestamps.end(), front.run.timestamps.begin(), front.run.timestamps.end());
    tasks.submit_join(front);
    joining.push_back(std::move(pending.front()));
    pending.pop_front();
  }
  tasks.wait_all_joined();
  recycle_joined(false);
  declarations.finish();

  // Each part trims its columns on its own thread, when the load was big
  // enough to start workers.
  const std::size_t indices = trace.timestamps.size();
  {
    std::vector<std::thread> finishing;
    std::vector<std::exception_ptr> errors(parts.count());
    for (unsigned t = 1; t < parts.count() && !tasks.started(); ++t) {
      try {
        parts.finish(t, indices);
      } catch (...) {
        errors[t] = std::current_exception();
      }
    }
    for (unsigned t = 1; t < parts.count() && tasks.started(); ++t) {
      finishing.emplace_back([&, t] {
        try {
          parts.finish(t, indices);
        } catch (...) {
          errors[t] = std::current_exception();
        }
      });
    }
    try {
      parts.finish(0, indices);
    } catch (...) {
      errors[0] = std::current_exception();
    }
    for (auto& f : finishing) f.join();
    for (const auto& e : errors) {
      if (e) std::rethrow_exception(e);
    }
  }
  trace.store = parts.take();
}

}  // namespace

Expected<LoadedTrace> load_vcd(ByteSource& source, const VcdLoadOptions& options) {
  LoadedTrace trace;
  const std::size_t block_bytes = std::clamp<std::size_t>(options.block_bytes, 1, kMaxBlockBytes);
  LineBlockReader reader(source, block_bytes, options.max_line_bytes);
  run_load(trace, options, [&](Piece& piece) {
    if (!reader.next(piece.block)) return false;
    piece.text = piece.block.text();
    return true;
  });
  if (reader.failure()) return *reader.failure();
  return trace;
}

LoadedTrace load_vcd_text(std::string_view text, const VcdLoadOptions& options) {
  LoadedTrace trace;
  std::vector<std::string_view> blocks;
  for_each_line_block(text, std::clamp<std::size_t>(options.block_bytes, 1, kMaxBlockBytes),
                      [&](std::string_view block) { blocks.push_back(block); });
  std::size_t next_block = 0;
  run_load(trace, options, [&](Piece& piece) {
    if (next_block == blocks.size()) return false;
    piece.text = blocks[next_block++];
    return true;
  });
  return trace;
}

}  // namespace velk
