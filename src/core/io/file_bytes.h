// Opening files and whole-file input. Every reader opens its input here, so
// the checks (no NUL in the path, no directory) and the errno reporting are
// written once; each reader puts its own wording in front of the reason.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io/error.h"

namespace velk {

// A file opened for reading, closed when dropped.
class InputFile {
 public:
  InputFile(int fd, std::uint64_t size, bool regular = true) : fd_(fd), size_(size), regular_(regular) {}
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  int fd() const { return fd_; }
  // The size at opening; 0 for what is not a regular file.
  std::uint64_t size() const { return size_; }
  // A regular file, whose end is on the disk; a pipe or a device may never end.
  bool regular() const { return regular_; }
  // Hands the descriptor over to the caller, who closes it.
  int release();

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
  bool regular_ = true;
};

// Opens `path` for reading. A directory fails with EISDIR and a path with a
// NUL byte fails before reaching the system (it would open the file named
// before the NUL). The error (kind Io) holds the reason alone, as
// "No such file or directory (os error 2)".
Expected<InputFile> open_input_file(const std::string& path);

// At most `max` bytes from the file's current position, fewer at its end;
// the error holds the reason alone.
Expected<std::vector<std::uint8_t>> read_up_to(const InputFile& file, std::size_t max);

// What read_whole_file takes from a pipe or a device before it gives up: a
// device such as /dev/zero never ends, and would fill memory.
inline constexpr std::size_t kMaxStreamBytes = std::size_t{256} << 20;

// The rest of `file`: up to its end for a regular file; a pipe or a device
// longer than `stream_limit` fails with a Limit error. The error holds the
// reason alone.
Expected<std::vector<std::uint8_t>> read_rest(const InputFile& file, std::size_t stream_limit = kMaxStreamBytes);

// The whole file (read_rest); the error holds the reason alone, as
// open_input_file's.
Expected<std::vector<std::uint8_t>> read_whole_file(const std::string& path);

// Reads the whole file. On failure the error is "Failed to read {path}: {reason}".
Expected<std::vector<std::uint8_t>> read_file_bytes(const std::string& path);

// The operating system's description of errno value `err` ("No such file or directory").
std::string os_error_text(int err);

// Why `path` cannot name a file at all, or nothing. A path with a NUL byte
// would reach the system cut short at the NUL and open a different file.
std::optional<std::string> invalid_path_reason(const std::string& path);

}  // namespace velk
