#include "formats/fst/fst_trace.h"

#include <algorithm>
#include <unordered_map>
#include <vector>

#include "formats/fst/column_decoder.h"
#include "formats/fst/fst_reader.h"
#include "formats/fst/time_index.h"
#include "io/file_bytes.h"
#include "io/text.h"
#include "model/column_builder.h"

namespace velk {
namespace {

constexpr std::uint32_t kUnregistered = fst::kNoTraceId;

bool is_unknown_state(char c) {
  switch (c) {
    case '-': case 'X': case 'Z': case 'h': case 'l': case 'u': case 'w': case 'x': case 'z': return true;
    default: return false;
  }
}

std::uint8_t logic_level(char c) {
  if (c == '0') return kLogic0;
  if (c == '1') return kLogic1;
  if (c == 'z' || c == 'Z') return kLogicZ;
  return kLogicX;
}

SignalValue logic_of(std::string_view text) {
  std::vector<std::uint8_t> levels(text.size());
  std::transform(text.begin(), text.end(), levels.begin(), logic_level);
  return SignalValue::logic(levels);
}

// Builds names, scopes and ids from hierarchy entries.
class HierarchyBuilder {
 public:
  explicit HierarchyBuilder(LoadedTrace& trace) : trace_(trace) {}

  void operator()(const fst::FstHierarchyEntry& entry) {
    if (const auto* scope = std::get_if<fst::ScopeEntry>(&entry)) return enter(scope->name);
    if (std::holds_alternative<fst::UpScopeEntry>(entry)) return leave();
    if (const auto* var = std::get_if<fst::VarEntry>(&entry)) add_variable(*var);
  }

  // Completes the names once the hierarchy is read, and gives the signal id
  // per handle index for the `signal_count` handles the geometry knows.
  // The first variable of a given full name wins; ids are handed out to
  // the handles of the variables that win, in order, aliases sharing one.
  std::vector<std::uint32_t> finish(std::size_t signal_count) {
    SignalTable& signals = trace_.signals;
    signals.settle_repeats(SignalTable::Repeats::KeepFirstEntry);
    std::vector<std::uint32_t> ids(signal_count, kUnregistered);
    // Handles past the geometry (only a damaged file has them) still take ids.
    std::unordered_map<std::uint32_t, std::uint32_t> other_ids;
    std::uint32_t next_id = 0;
    for (std::size_t place = 0; place < signals.size(); ++place) {
      SignalTable::Entry& entry = signals.at(place);
      const std::uint32_t index = entry.id;  // the handle index, until now
      std::uint32_t& id = index < signal_count ? ids[index] : other_ids.try_emplace(index, kUnregistered).first->second;
      if (id == kUnregistered) id = next_id++;
      entry.id = id;
    }
    return ids;
  }

 private:
  // The scope tree lists each distinct path once, in first-seen order. The
  // current path is kept as one text that grows and shrinks with the stack,
  // so entering a scope costs its name's length, not the depth.
  void enter(const std::string& name) {
    const std::uint32_t parent = stack_.empty() ? ScopeTree::kRoot : stack_.back().scope;
    stack_.push_back({trace_.scope_tree_.enter(parent, name), path_.size()});
    if (!path_.empty()) path_ += '.';
    path_ += name;
  }

  void leave() {
    if (stack_.empty()) return;
    path_.resize(stack_.back().path_length);
    stack_.pop_back();
  }

  // Repeated names are settled by finish(); the entry holds the handle
  // index until then.
  void add_variable(const fst::VarEntry& var) {
    const SignalTable::Entry entry{var.handle.index(), var.length};
    if (stack_.empty()) {
      trace_.signals.append_unsettled(var.name, entry);
    } else {
      trace_.signals.append_unsettled(path_, var.name, entry);
    }
  }

  LoadedTrace& trace_;
  struct Open {
    std::uint32_t scope;
    std::size_t path_length;  // length of path_ before this scope was entered
  };
  std::vector<Open> stack_;
  std::string path_;
};

// Places reported values at their index. Values arrive in time order within
// a section, so the index of the previous time is remembered. Each signal's
// values go straight into its change list; should a file deliver a signal's
// values out of time order, the placer says so and the load falls back to
// collecting every value first.
class ValuePlacer {
 public:
  ValuePlacer(LoadedTrace& trace, std::vector<std::uint32_t> ids) : trace_(trace), ids_(std::move(ids)) {}

  void operator()(std::uint64_t time, fst::FstSignalHandle handle, const FstSignalValue& value) {
    const std::uint32_t index = handle.index();
    if (index >= ids_.size() || ids_[index] == kUnregistered) return;
    const std::size_t slot = time_index_.of(time);
    if (slot >= trace_.timestamps.size()) return;
    if (in_order_) {
      in_order_ = values_.append(ids_[index], slot, convert_value(value));
    } else if (collecting_) {
      columns_.record(ids_[index], slot, convert_value(value));
    }
  }

  bool in_order() const { return in_order_; }
  // Switches to collecting every value (a second reading delivers them again).
  void collect_all() {
    in_order_ = false;
    collecting_ = true;
  }
  void store_into(LoadedTrace& trace) {
    if (collecting_) {
      columns_.build_into(trace.store, trace.timestamps.size(), ColumnBuilder::Fill::AfterChanges);
    } else {
      trace.store = values_.finish(trace.timestamps.size());
    }
  }

 private:
  LoadedTrace& trace_;
  std::vector<std::uint32_t> ids_;
  ValueAppender values_{FillOrder::AfterChanges};
  ColumnBuilder columns_;
  bool in_order_ = true;
  bool collecting_ = false;
  fst::TimeIndex time_index_{trace_.timestamps};
};

Expected<fst::FstInput> open_input(const std::string& path) {
  auto file = open_input_file(path);
  if (!file) return std::move(file).error().prefixed("Failed to open " + path + ": ");
  const std::uint64_t size = file.value().size();
  return fst::FstInput::from_file(file.value().release(), size);
}

}  // namespace

SignalValue convert_value(const FstSignalValue& value) {
  if (value.kind == FstSignalValue::Kind::Real) return SignalValue::real(value.real);
  const std::string_view text = value.text;
  if (text.empty()) return SignalValue::empty();
  bool binary = true;
  for (const char c : text) {
    if (is_unknown_state(c)) return logic_of(text);
    binary = binary && (c == '0' || c == '1');
  }
  if (!binary) return SignalValue::str(decode_utf8_lossy(text));
  std::uint64_t bits = 0;
  for (const char c : text) bits = (bits << 1) | (c == '1' ? 1u : 0u);
  return SignalValue::bits(bits);
}

Expected<LoadedTrace> FstTrace::from_file(const std::string& path) { return from_file_with(path, FstLoadOptions{}); }

Expected<LoadedTrace> FstTrace::from_file_with(const std::string& path, const FstLoadOptions& options) {
  auto input = open_input(path);
  if (!input) return std::move(input).error();
  auto opened = fst::FstReader::open(std::move(input).value(), true);
  if (!opened.ok()) return std::move(opened).error().prefixed("FST open: ");
  fst::FstReader& reader = opened.value();

  LoadedTrace trace;
  HierarchyBuilder builder(trace);
  Status hierarchy = reader.read_hierarchy(std::ref(builder));
  if (!hierarchy.ok()) return std::move(hierarchy).error().prefixed("FST hierarchy: ");

  const auto& times = reader.time_table();
  trace.timestamps = times ? *times : std::vector<std::uint64_t>{0};

  std::vector<std::uint32_t> ids = builder.finish(reader.signals().size());
  if (options.order == FstLoadOptions::Order::ByChain) {
    auto store = fst::decode_columns(reader.input(), reader.metadata(), {ids, trace.timestamps, options.threads});
    if (store) {
      trace.store = std::move(*store);
      return trace;
    }
  }

  ValuePlacer placer(trace, std::move(ids));
  Status signals = reader.read_signals(fst::FstFilter{}, std::ref(placer));
  if (signals.ok() && !placer.in_order()) {
    placer.collect_all();
    signals = reader.read_signals(fst::FstFilter{}, std::ref(placer));
  }
  if (!signals.ok()) return std::move(signals).error().prefixed("FST signals: ");

  // Every signal keeps its last value until it changes.
  placer.store_into(trace);
  return trace;
}

}  // namespace velk
