// The record that every reader except the VCD reader fills, and the Trace
// operations over it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/value_store.h"
#include "model/signal_table.h"
#include "model/trace.h"

namespace velk {

class LoadedTrace final : public Trace {
 public:
  ValueStore store;
  SignalTable signals;
  ScopeTree scope_tree_;
  std::vector<std::uint64_t> timestamps;
  // What signal_width reports for a name the trace does not hold (the VCD
  // reader's traces report 0).
  std::uint32_t unknown_width = 1;

  // Registers a new name with the next id and the given width. Returns the id,
  // or nothing when the name is already known.
  std::optional<std::uint32_t> add_signal(std::string_view name, std::uint32_t width);

  const NameList& signal_names() const override { return signals.names(); }
  const ScopeTree& scope_tree() const override { return scope_tree_; }
  std::size_t max_index() const override;
  std::uint64_t timestamp(std::size_t index) const override;
  SignalValue signal_value(std::string_view name, std::size_t index) const override;
  // unknown_width for an unknown name.
  std::uint32_t signal_width(std::string_view name) const override;
  std::optional<std::uint32_t> signal_id(std::string_view name) const override;
  std::vector<SignalValue> signal_values_range(std::string_view name, std::size_t start,
                                               std::size_t end) const override;
  SignalValue signal_value_by_id(std::uint32_t id, std::size_t index) const override;
  SignalValue value_at(std::uint32_t id, std::size_t index) const noexcept override {
    return store.cursor(id).at(index);
  }
  SignalCursor cursor(std::uint32_t id) const noexcept override { return store.cursor(id); }
};

}  // namespace velk
