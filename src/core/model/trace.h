// The interface every loaded dump offers. Implementations are immutable once
// loaded; every operation may be called from many threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/name_list.h"
#include "model/scope_tree.h"
#include "model/signal_value.h"
#include "model/value_store.h"

namespace velk {

class Trace {
 public:
  virtual ~Trace() = default;

  // Full hierarchical names ("top.cpu.pc"), in the order the reader registered them.
  virtual const NameList& signal_names() const = 0;
  // The scopes as a tree; full paths are made only when asked for.
  virtual const ScopeTree& scope_tree() const = 0;
  // Full scope paths, in the order the reader registered them.
  std::vector<std::string> scopes() const { return scope_tree().paths(); }
  // Number of timestamps minus 1; 0 when there are none.
  virtual std::size_t max_index() const = 0;
  // Timestamp of `index`; 0 past the end.
  virtual std::uint64_t timestamp(std::size_t index) const = 0;
  // Empty for an unknown name or a slot past the data.
  virtual SignalValue signal_value(std::string_view name, std::size_t index) const = 0;
  // Width in bits; the fallback for an unknown name depends on the trace kind.
  virtual std::uint32_t signal_width(std::string_view name) const = 0;
  virtual std::optional<std::uint32_t> signal_id(std::string_view name) const = 0;
  // One value per index in [start, end); Empty copies for an unknown name.
  virtual std::vector<SignalValue> signal_values_range(std::string_view name, std::size_t start,
                                                       std::size_t end) const = 0;
  virtual SignalValue signal_value_by_id(std::uint32_t id, std::size_t index) const = 0;

  // The value of `id` at `index` (Empty past the data or for an unknown id).
  // A random read costs a binary search over the signal's changes; code that
  // walks indices should hold a cursor instead.
  virtual SignalValue value_at(std::uint32_t id, std::size_t index) const noexcept = 0;
  // A cursor over the values of `id` (Empty everywhere for an unknown id). It
  // borrows from the trace, which must outlive it.
  virtual SignalCursor cursor(std::uint32_t id) const noexcept = 0;
};

}  // namespace velk
