// The line-by-line VCD parser behind VcdTrace::parse and VcdTrace::from_file.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "model/column_builder.h"
#include "model/name_map.h"
#include "formats/vcd/vcd_trace.h"

namespace velk {

class VcdParser {
 public:
  explicit VcdParser(VcdTrace& trace) : trace_(trace) {}

  // Handles one line (without its line feed).
  void feed_line(std::string_view raw_line);
  // Moves the recorded changes into the trace's store; call once at the end.
  void finish();

 private:
  void on_scope(std::string_view line);
  void on_upscope();
  void on_var(std::string_view line);
  void on_timestamp(std::string_view line);
  void on_value_change(std::string_view line);
  void set_value(std::string_view code, SignalValue value);
  void record(std::uint32_t id, SignalValue value);
  std::string joined_scope() const;

  VcdTrace& trace_;
  std::vector<std::string> scope_stack_;
  // Membership sets so that duplicate checks stay linear in the dump size.
  std::unordered_set<std::string, TextHash, std::equal_to<>> known_scopes_;
  std::unordered_set<std::string, TextHash, std::equal_to<>> known_names_;
  // Values persist from index to index; the columns are filled once at the
  // end rather than carried forward at every timestamp line.
  ColumnBuilder columns_;
  std::size_t current_index_ = 0;
  bool values_enabled_ = false;
};

}  // namespace velk
