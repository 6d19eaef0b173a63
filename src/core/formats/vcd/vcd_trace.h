// Value Change Dump text loaded into the common model.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "io/result.h"
#include "model/value_store.h"
#include "model/name_map.h"
#include "model/trace.h"
#include "formats/vcd/vcd_code_table.h"

namespace velk {

class VcdTrace final : public Trace {
 public:
  struct VarDecl {
    std::string reference;  // the $var reference, cut before any '['
    std::uint32_t width;
    std::uint32_t id;
  };

  // Reads the whole text; never fails (malformed lines are skipped).
  static VcdTrace parse(std::string_view text);
  // Streams the file; the only error is "Failed to open {path}: {reason}".
  static Result<VcdTrace> from_file(const std::string& path);

  std::span<const std::string> signal_names() const override { return signal_names_; }
  const ScopeTree& scope_tree() const override { return scope_tree_; }
  std::size_t max_index() const override;
  std::uint64_t timestamp(std::size_t index) const override;
  SignalValue signal_value(std::string_view name, std::size_t index) const override;
  // 0 for an unknown name.
  std::uint32_t signal_width(std::string_view name) const override;
  std::optional<std::uint32_t> signal_id(std::string_view name) const override;
  std::vector<SignalValue> signal_values_range(std::string_view name, std::size_t start,
                                               std::size_t end) const override;
  SignalValue signal_value_by_id(std::uint32_t id, std::size_t index) const override;
  SignalValue value_at(std::uint32_t id, std::size_t index) const noexcept override {
    return store_.cursor(id).at(index);
  }
  SignalCursor cursor(std::uint32_t id) const noexcept override { return store_.cursor(id); }

 private:
  friend class VcdParser;

  NameMap<VarDecl> vars_;
  VcdCodeTable id_codes_;
  ValueStore store_;
  std::uint32_t next_id_ = 0;
  std::vector<std::string> signal_names_;
  ScopeTree scope_tree_;
  std::vector<std::uint64_t> timestamps_;
};

}  // namespace velk
