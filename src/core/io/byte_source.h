// Sequential byte input for the streaming text readers: a file read in large
// blocks, or a gzip stream inflated while it is read. Neither ever holds the
// whole input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velk {

class Inflater;

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Copies up to `capacity` bytes into `out` and returns how many; 0 only at
  // the end of the input or after a failure.
  virtual std::size_t read(char* out, std::size_t capacity) = 0;
  // Why the input ended before its natural end, or nothing.
  virtual std::optional<std::string> failure() const { return std::nullopt; }
  // How many bytes the whole input holds, when known in advance (else 0).
  virtual std::uint64_t size_hint() const { return 0; }
};

// Reads an open file descriptor (not owned). A read error ends the input
// quietly: the text readers keep what they have read so far.
class FileByteSource final : public ByteSource {
 public:
  FileByteSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  std::size_t read(char* out, std::size_t capacity) override;
  std::uint64_t size_hint() const override { return size_; }

 private:
  int fd_;
  std::uint64_t size_;
};

// Inflates a gzip stream (one or more concatenated members) read from
// `compressed`. A stream that is not gzip, is corrupt or ends inside a member
// ends the input with a failure text (zlib's wording for the fault). After a
// member, anything but another gzip header (zero padding, trailing bytes)
// ends the input quietly, as gunzip treats it.
class GzipByteSource final : public ByteSource {
 public:
  explicit GzipByteSource(ByteSource& compressed);
  ~GzipByteSource() override;
  GzipByteSource(const GzipByteSource&) = delete;
  GzipByteSource& operator=(const GzipByteSource&) = delete;

  std::size_t read(char* out, std::size_t capacity) override;
  std::optional<std::string> failure() const override { return failure_; }

 private:
  enum class Stage { kFirstHeader, kNextHeader, kBody, kTrailer, kDone };
  void refill();
  bool fill(std::size_t want);
  bool header_bytes(std::size_t n, std::uint8_t* copy);
  bool skip_zero_terminated();
  void read_header(bool first);
  void read_trailer();
  void inflate_body();
  void fail(std::string text);

  ByteSource& compressed_;
  std::unique_ptr<Inflater> inflater_;
  std::unique_ptr<std::uint8_t[]> input_;  // compressed bytes, kInputSize of them
  std::size_t in_pos_ = 0;
  std::size_t in_end_ = 0;
  bool in_eof_ = false;
  Stage stage_ = Stage::kFirstHeader;
  std::uint32_t header_crc_ = 0;
  std::uint32_t crc_ = 0;
  std::uint64_t member_size_ = 0;
  std::optional<std::string> deferred_failure_;  // reported once the bytes before it are read
  std::optional<std::string> failure_;
};

}  // namespace velk
