#include "formats/vcd/vcd_trace.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <sys/stat.h>

#include "io/file_bytes.h"
#include "io/line_reader.h"
#include "formats/vcd/vcd_parser.h"

namespace velk {

VcdTrace VcdTrace::parse(std::string_view text) {
  VcdTrace trace;
  VcdParser parser(trace);
  for_each_line_in(text, [&](std::string_view line) { parser.feed_line(line); });
  parser.finish();
  return trace;
}

Result<VcdTrace> VcdTrace::from_file(const std::string& path) {
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  if (const auto reason = invalid_path_reason(path)) return Error{"Failed to open " + path + ": " + *reason};
  std::unique_ptr<std::FILE, Closer> file(std::fopen(path.c_str(), "rb"));
  if (!file) return Error{"Failed to open " + path + ": " + os_error_text(errno)};
  // fopen accepts a directory on Linux and only the first read fails; report
  // it as the open failure it is rather than loading an empty trace.
  struct stat st {};
  if (fstat(fileno(file.get()), &st) == 0 && S_ISDIR(st.st_mode)) {
    return Error{"Failed to open " + path + ": " + os_error_text(EISDIR)};
  }
  VcdTrace trace;
  VcdParser parser(trace);
  LineReader reader(file.get());
  reader.for_each_line([&](std::string_view line) { parser.feed_line(line); });
  parser.finish();
  return trace;
}

std::size_t VcdTrace::max_index() const { return timestamps_.empty() ? 0 : timestamps_.size() - 1; }

std::uint64_t VcdTrace::timestamp(std::size_t index) const {
  return index < timestamps_.size() ? timestamps_[index] : 0;
}

SignalValue VcdTrace::signal_value(std::string_view name, std::size_t index) const {
  const auto it = vars_.find(name);
  return it == vars_.end() ? SignalValue() : store_.get(it->second.id, index);
}

std::uint32_t VcdTrace::signal_width(std::string_view name) const {
  const auto it = vars_.find(name);
  return it == vars_.end() ? 0 : it->second.width;
}

std::optional<std::uint32_t> VcdTrace::signal_id(std::string_view name) const {
  const auto it = vars_.find(name);
  if (it == vars_.end()) return std::nullopt;
  return it->second.id;
}

std::vector<SignalValue> VcdTrace::signal_values_range(std::string_view name, std::size_t start,
                                                       std::size_t end) const {
  const auto it = vars_.find(name);
  if (it == vars_.end()) return std::vector<SignalValue>(end > start ? end - start : 0);
  return store_.get_range(it->second.id, start, end);
}

SignalValue VcdTrace::signal_value_by_id(std::uint32_t id, std::size_t index) const {
  return store_.get(id, index);
}

}  // namespace velk
