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
  InputFile(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  int fd() const { return fd_; }
  std::uint64_t size() const { return size_; }
  // Hands the descriptor over to the caller, who closes it.
  int release();

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

// Opens `path` for reading. A directory fails with EISDIR and a path with a
// NUL byte fails before reaching the system (it would open the file named
// before the NUL). The error (kind Io) holds the reason alone, as
// "No such file or directory (os error 2)".
Expected<InputFile> open_input_file(const std::string& path);

// At most `max` bytes from the file's current position, fewer at its end;
// the error holds the reason alone.
Expected<std::vector<std::uint8_t>> read_up_to(const InputFile& file, std::size_t max);

// The whole file; the error holds the reason alone, as open_input_file's.
Expected<std::vector<std::uint8_t>> read_whole_file(const std::string& path);

// Reads the whole file. On failure the error is "Failed to read {path}: {reason}".
Expected<std::vector<std::uint8_t>> read_file_bytes(const std::string& path);

// The operating system's description of errno value `err` ("No such file or directory").
std::string os_error_text(int err);

// Why `path` cannot name a file at all, or nothing. A path with a NUL byte
// would reach the system cut short at the NUL and open a different file.
std::optional<std::string> invalid_path_reason(const std::string& path);

}  // namespace velk
