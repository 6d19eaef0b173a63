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

// One block of lines on its way through the load.
struct Piece {
  enum class State { Unparsed, Queued, Done };
  LineBlock block;  // the bytes, when the input is streamed
  std::string_view text;
  VcdRun run;
  std::size_t stopped_at = 0;  // where a parallel parse met a declaration
  State state = State::Unparsed;
  std::exception_ptr error;
};

// Threads that parse queued pieces against the code table as it stands. The
// table is only changed while no piece is queued.
class RunWorkers {
 public:
  RunWorkers(unsigned count, const VcdCodeTable& codes) : codes_(codes) {
    for (unsigned i = 0; i < count; ++i) threads_.emplace_back([this] { work(); });
  }
  ~RunWorkers() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    work_ready_.notify_all();
    for (auto& t : threads_) t.join();
  }
  RunWorkers(const RunWorkers&) = delete;
  RunWorkers& operator=(const RunWorkers&) = delete;

  void submit(Piece& piece) {
    {
      std::lock_guard lock(mutex_);
      piece.state = Piece::State::Queued;
      queue_.push_back(&piece);
    }
    work_ready_.notify_one();
  }

  void wait(Piece& piece) {
    std::unique_lock lock(mutex_);
    piece_done_.wait(lock, [&] { return piece.state != Piece::State::Queued; });
  }

 private:
  void work() {
    for (;;) {
      Piece* piece;
      {
        std::unique_lock lock(mutex_);
        work_ready_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        piece = queue_.front();
        queue_.pop_front();
      }
      try {
        piece->stopped_at = parse_vcd_run(piece->text, codes_, piece->run);
        piece->run.group_by_signal();
      } catch (...) {
        piece->error = std::current_exception();
      }
      {
        std::lock_guard lock(mutex_);
        piece->state = Piece::State::Done;
      }
      piece_done_.notify_all();
    }
  }

  const VcdCodeTable& codes_;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable piece_done_;
  std::deque<Piece*> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// Appends the runs, in file order, to the trace being built. A value holds
// from its change to the next one: nothing is done for a quiet signal.
class RunJoiner {
 public:
  explicit RunJoiner(LoadedTrace& trace) : trace_(trace) {}

  void join(const VcdRun& run) {
    const std::size_t base = trace_.timestamps.size();
    for (const VcdChange& change : run.changes) {
      // Changes before the first timestamp line of the file are not kept.
      if (base + change.step == 0) continue;
      changes_.append(change.id, base + change.step - 1, change.value);
    }
    trace_.timestamps.insert(trace_.timestamps.end(), run.timestamps.begin(), run.timestamps.end());
  }

  void finish() { trace_.store = changes_.finish(trace_.timestamps.size()); }

 private:
  LoadedTrace& trace_;
  // Each index takes the previous index's value (unless Empty) before its own
  // changes, which replace it.
  ValueAppender changes_{FillOrder::BeforeChanges};
};

// The load itself: `next(piece)` fills a piece with the next block of lines
// and returns false at the end of the input.
void run_load(LoadedTrace& trace, const VcdLoadOptions& options, const std::function<bool(Piece&)>& next) {
  unsigned threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
  VcdDeclarations declarations(trace);
  RunJoiner joiner(trace);

  std::deque<std::unique_ptr<Piece>> pending;
  std::vector<std::unique_ptr<Piece>> spare;
  // Declared after the pieces so that its threads stop before they go.
  std::unique_ptr<RunWorkers> workers;
  if (threads > 1) workers = std::make_unique<RunWorkers>(threads, declarations.codes());
  const std::size_t depth = threads > 1 ? 2 * threads + 1 : 1;

  // Declarations come first in a dump; the blocks that hold them are parsed
  // here, applying them. Once a block with a timestamp line has gone by, the
  // blocks go to the workers.
  bool in_parallel = false;
  bool input_left = true;
  const auto any_unparsed = [&] {
    return std::any_of(pending.begin(), pending.end(),
                       [](const auto& p) { return p->state == Piece::State::Unparsed; });
  };

  for (;;) {
    while (input_left && pending.size() < depth && !any_unparsed()) {
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
      if (!next(*piece)) {
        input_left = false;
        break;
      }
      Piece& added = *pending.emplace_back(std::move(piece));
      if (!in_parallel || !workers) break;
      workers->submit(added);
    }
    if (pending.empty()) break;

    Piece& front = *pending.front();
    if (front.state == Piece::State::Unparsed) {
      parse_vcd_run_applying(front.text, declarations, front.run);
      if (!front.run.timestamps.empty()) in_parallel = true;
    } else {
      workers->wait(front);
      if (front.error) std::rethrow_exception(front.error);
      if (front.stopped_at < front.text.size()) {
        // A declaration among the values: what follows it must be read with
        // the changed table. Let the workers finish, apply the rest of this
        // block here, and parse the blocks already handed out again.
        for (auto& p : pending) workers->wait(*p);
        parse_vcd_run_applying(front.text.substr(front.stopped_at), declarations, front.run);
        for (std::size_t i = 1; i < pending.size(); ++i) {
          pending[i]->run.clear();
          pending[i]->state = Piece::State::Unparsed;
        }
      }
    }
    joiner.join(front.run);
    spare.push_back(std::move(pending.front()));
    pending.pop_front();
  }
  workers.reset();
  joiner.finish();
}

}  // namespace

LoadedTrace load_vcd(ByteSource& source, const VcdLoadOptions& options) {
  LoadedTrace trace;
  LineBlockReader reader(source, std::max<std::size_t>(options.block_bytes, 1));
  run_load(trace, options, [&](Piece& piece) {
    if (!reader.next(piece.block)) return false;
    piece.text = piece.block.text();
    return true;
  });
  return trace;
}

LoadedTrace load_vcd_text(std::string_view text, const VcdLoadOptions& options) {
  LoadedTrace trace;
  std::vector<std::string_view> blocks;
  for_each_line_block(text, std::max<std::size_t>(options.block_bytes, 1),
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
