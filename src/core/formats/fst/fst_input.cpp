#include "formats/fst/fst_input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <unistd.h>

#include "io/byte_reader.h"
#include "io/text.h"

namespace velk::fst {

FstInput FstInput::from_file(int fd, std::uint64_t size) {
  FstInput in;
  in.fd_ = fd;
  in.size_ = size;
  in.window_.resize(kBufferSize);
  return in;
}

FstInput FstInput::from_bytes(std::vector<std::uint8_t> bytes) {
  FstInput in;
  in.size_ = bytes.size();
  in.window_len_ = bytes.size();
  in.window_ = std::move(bytes);
  return in;
}

FstInput::FstInput(FstInput&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      window_(std::move(other.window_)),
      window_start_(other.window_start_),
      window_pos_(other.window_pos_),
      window_len_(other.window_len_),
      size_(other.size_),
      error_(std::move(other.error_)) {}

FstInput& FstInput::operator=(FstInput&& other) noexcept {
  if (this == &other) return *this;
  if (fd_ >= 0) ::close(fd_);
  fd_ = std::exchange(other.fd_, -1);
  window_ = std::move(other.window_);
  window_start_ = other.window_start_;
  window_pos_ = other.window_pos_;
  window_len_ = other.window_len_;
  size_ = other.size_;
  error_ = std::move(other.error_);
  return *this;
}

FstInput::~FstInput() {
  if (fd_ >= 0) ::close(fd_);
}

void FstInput::fail(Error error) {
  if (!error_) error_ = std::move(error.at(position()));
}

void FstInput::seek(std::uint64_t pos) {
  if (pos > size_) {
    fail(ReaderError::io("seek past the end of the file"));
    return;
  }
  if (pos >= window_start_ && pos - window_start_ <= window_len_) {
    window_pos_ = static_cast<std::size_t>(pos - window_start_);
    return;
  }
  // Only file mode gets here: the memory window covers the whole input.
  window_start_ = pos;
  window_pos_ = 0;
  window_len_ = 0;
}

void FstInput::seek_relative(std::uint64_t count) {
  if (count > remaining()) {
    fail(ReaderError::io());
    return;
  }
  seek(position() + count);
}

bool FstInput::refill() {
  if (fd_ < 0 || !ok()) return false;
  window_start_ += window_pos_;
  window_pos_ = 0;
  window_len_ = 0;
  const std::uint64_t want = std::min<std::uint64_t>(kBufferSize, size_ - window_start_);
  while (window_len_ < want) {
    const ssize_t n = ::pread(fd_, window_.data() + window_len_, want - window_len_,
                              static_cast<off_t>(window_start_ + window_len_));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      fail(ReaderError::io(std::strerror(errno), errno));
      return false;
    }
    if (n == 0) break;  // the file shrank under us
    window_len_ += static_cast<std::size_t>(n);
  }
  return window_len_ > 0;
}

bool FstInput::next(std::uint8_t& byte) {
  if (!ok()) return false;
  if (window_pos_ >= window_len_ && !refill()) {
    fail(ReaderError::io());
    return false;
  }
  byte = window_[window_pos_++];
  return true;
}

std::uint8_t FstInput::read_u8() {
  std::uint8_t b = 0;
  next(b);
  return b;
}

std::uint64_t FstInput::read_u64() {
  std::uint8_t bytes[8] = {};
  if (!read_into(bytes)) return 0;
  std::uint64_t v = 0;
  for (const auto b : bytes) v = (v << 8) | b;
  return v;
}

std::uint32_t FstInput::read_varint_u32(std::uint32_t* taken) {
  return static_cast<std::uint32_t>(read_uleb128_from<32>(*this, taken));
}

std::uint64_t FstInput::read_varint_u64(std::uint32_t* taken) { return read_uleb128_from<64>(*this, taken); }

std::int64_t FstInput::read_signed_varint_i64() { return read_sleb128_from(*this); }

std::optional<std::uint8_t> FstInput::peek_u8() {
  if (!ok()) return std::nullopt;
  if (window_pos_ >= window_len_ && !refill()) return std::nullopt;
  return window_[window_pos_];
}

std::size_t FstInput::read_some(std::uint8_t* dst, std::size_t count) {
  std::size_t done = 0;
  while (done < count && ok()) {
    if (window_pos_ >= window_len_) {
      // Large reads bypass the buffer.
      if (fd_ >= 0 && count - done >= kBufferSize) {
        const std::uint64_t pos = position();
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, size_ - pos));
        if (want == 0) break;
        const ssize_t n = ::pread(fd_, dst + done, want, static_cast<off_t>(pos));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
        seek(pos + static_cast<std::uint64_t>(n));
        continue;
      }
      if (!refill()) break;
    }
    const std::size_t n = std::min(count - done, window_len_ - window_pos_);
    std::memcpy(dst + done, window_.data() + window_pos_, n);
    window_pos_ += n;
    done += n;
  }
  return done;
}

bool FstInput::read_into(std::span<std::uint8_t> dst) {
  if (!ok()) return false;
  if (dst.size() > remaining()) {
    fail(ReaderError::io());
    return false;
  }
  if (read_some(dst.data(), dst.size()) != dst.size()) {
    fail(ReaderError::io());
    return false;
  }
  return true;
}

std::vector<std::uint8_t> FstInput::read_bytes(std::uint64_t count) {
  if (!ok()) return {};
  if (count > remaining()) {
    fail(ReaderError::io());
    return {};
  }
  std::vector<std::uint8_t> out(static_cast<std::size_t>(count));
  if (!read_into(out)) return {};
  return out;
}

std::string FstInput::read_fixed_string(std::size_t count) {
  const auto bytes = read_bytes(count);
  if (!ok() || count == 0) return {};
  const auto* first = reinterpret_cast<const char*>(bytes.data());
  const auto* nul = static_cast<const char*>(std::memchr(first, 0, count));
  const std::string_view text(first, nul ? static_cast<std::size_t>(nul - first) : count - 1);
  if (!is_valid_utf8(text)) {
    fail(ReaderError::utf8_string(std::string(text)));
    return {};
  }
  return std::string(text);
}

}  // namespace velk::fst
