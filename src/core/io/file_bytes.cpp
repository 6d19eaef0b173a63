#include "io/file_bytes.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "io/text.h"

namespace velk {

std::string os_error_text(int err) {
  // Matches the wording users see from other tools: "No such file or directory (os error 2)".
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

std::optional<std::string> invalid_path_reason(const std::string& path) {
  if (path.find('\0') != std::string::npos) return "file name contained an unexpected NUL byte";
  return std::nullopt;
}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(other.size_), regular_(other.regular_) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this == &other) return *this;
  if (fd_ >= 0) ::close(fd_);
  fd_ = std::exchange(other.fd_, -1);
  size_ = other.size_;
  regular_ = other.regular_;
  return *this;
}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

int InputFile::release() { return std::exchange(fd_, -1); }

namespace {

Error os_error(int err) { return Error::io(os_error_text(err), err); }

}  // namespace

Expected<InputFile> open_input_file(const std::string& path) {
  if (const auto reason = invalid_path_reason(path)) return Error::io(*reason);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return os_error(errno);
  InputFile file(fd, 0);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return os_error(errno);
  if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
  const bool regular = S_ISREG(st.st_mode);
  return InputFile(file.release(), regular ? static_cast<std::uint64_t>(st.st_size) : 0, regular);
}

Expected<std::vector<std::uint8_t>> read_up_to(const InputFile& file, std::size_t max) {
  std::vector<std::uint8_t> data;
  // The size is only a hint: pipes report 0 and a file may grow while read.
  data.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(file.size(), max)));
  std::uint8_t chunk[65536];
  while (data.size() < max) {
    const ssize_t n = ::read(file.fd(), chunk, std::min(sizeof chunk, max - data.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return os_error(errno);
    if (n == 0) break;
    const auto got = static_cast<std::size_t>(n);
    // Room grows by doubling, but never past `max`.
    if (data.capacity() - data.size() < got) {
      data.reserve(std::min(std::max(2 * data.capacity(), data.size() + got), max));
    }
    data.insert(data.end(), chunk, chunk + got);
  }
  return data;
}

Expected<std::vector<std::uint8_t>> read_rest(const InputFile& file, std::size_t stream_limit) {
  if (file.regular()) return read_up_to(file, SIZE_MAX);
  auto data = read_up_to(file, stream_limit + 1);
  if (data && data.value().size() > stream_limit) {
    return Error::limit("not a regular file, and longer than " + byte_size_text(stream_limit));
  }
  return data;
}

Expected<std::vector<std::uint8_t>> read_whole_file(const std::string& path) {
  auto file = open_input_file(path);
  if (!file) return std::move(file).error();
  return read_rest(file.value());
}

Expected<std::vector<std::uint8_t>> read_file_bytes(const std::string& path) {
  auto data = read_whole_file(path);
  if (!data) return std::move(data).error().prefixed("Failed to read " + path + ": ");
  return data;
}

}  // namespace velk
