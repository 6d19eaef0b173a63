// The declaration state of a VCD load: identifier codes, the scope stack and
// the names registered so far. Declarations change what later value changes
// mean, so they are applied in file order on one thread; the chunk parsers
// only read the code table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "formats/vcd/vcd_code_table.h"
#include "model/loaded_trace.h"

namespace velk {

class VcdDeclarations {
 public:
  explicit VcdDeclarations(LoadedTrace& trace) : trace_(trace) {}

  // True for a trimmed line that declares something ($scope, $upscope, $var).
  static bool is_declaration(std::string_view line) noexcept {
    return line.starts_with("$scope") || line.starts_with("$upscope") || line.starts_with("$var");
  }
  // Applies one trimmed declaration line.
  void apply(std::string_view line);
  // Completes the trace's names once every declaration is applied.
  void finish();

  const VcdCodeTable& codes() const noexcept { return codes_; }
  // Ids handed out so far (ids are 0 .. signal_count() - 1).
  std::uint32_t signal_count() const noexcept { return next_id_; }

 private:
  void on_scope(std::string_view line);
  void on_upscope();
  void on_var(std::string_view line);

  LoadedTrace& trace_;
  VcdCodeTable codes_;
  std::uint32_t next_id_ = 0;

  // The scope stack as nodes of the trace's scope tree, and its dotted path
  // kept as one string that grows and shrinks with it, so that neither a
  // scope line nor a variable name costs a walk over the whole stack.
  std::vector<std::uint32_t> stack_;
  std::vector<std::size_t> path_lengths_;  // length of path_ before each push
  std::string path_;                        // the stack joined with "."
};

}  // namespace velk
