// Streams a file line by line through a fixed buffer. Lines that lie wholly
// inside the buffer are handed out as views without copying; only a line that
// straddles two reads is assembled in a reusable carry buffer.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velk {

class LineReader {
 public:
  static constexpr std::size_t kBufferSize = 1 << 20;

  explicit LineReader(std::FILE* file) : file_(file), buffer_(kBufferSize) {}

  // Calls on_line(view) for every line (split at '\n', one trailing '\r'
  // removed). Stops quietly on a read error, keeping what was read.
  template <class F>
  void for_each_line(F&& on_line);

 private:
  std::FILE* file_;
  std::vector<char> buffer_;
  std::string carry_;
};

inline std::string_view strip_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Calls on_line for every line of an in-memory text, with the same splitting.
template <class F>
void for_each_line_in(std::string_view text, F&& on_line) {
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    if (nl == std::string_view::npos) {
      on_line(strip_cr(text));
      return;
    }
    on_line(strip_cr(text.substr(0, nl)));
    text.remove_prefix(nl + 1);
  }
}

template <class F>
void LineReader::for_each_line(F&& on_line) {
  for (;;) {
    const std::size_t got = std::fread(buffer_.data(), 1, buffer_.size(), file_);
    if (got == 0) break;
    std::string_view chunk(buffer_.data(), got);
    for (;;) {
      const std::size_t nl = chunk.find('\n');
      if (nl == std::string_view::npos) break;
      if (carry_.empty()) {
        on_line(strip_cr(chunk.substr(0, nl)));
      } else {
        carry_.append(chunk.data(), nl);
        on_line(strip_cr(carry_));
        carry_.clear();
      }
      chunk.remove_prefix(nl + 1);
    }
    carry_.append(chunk.data(), chunk.size());
  }
  if (!carry_.empty()) on_line(strip_cr(carry_));
  carry_.clear();
  carry_.shrink_to_fit();
}

}  // namespace velk
