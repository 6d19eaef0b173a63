// The reference for velk's gzip input: a ByteSource that inflates with zlib
// (gzip wrapper only, concatenated members, anything but a gzip header after
// a member ends the input), as velk did before it decoded DEFLATE itself.
// The tests and the decompression fuzzer drive it and GzipByteSource with
// the same bytes and expect the same output and the same failure text.
// Also: an in-memory source that hands its bytes out in pieces of random
// size, and a reader that drains a source with random read sizes.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "io/byte_source.h"

namespace velk::testing {

class PieceSource final : public ByteSource {
 public:
  // Hands out `bytes` in pieces of 1..max_piece bytes (random, from `seed`).
  PieceSource(const std::vector<std::uint8_t>& bytes, std::uint64_t seed, std::size_t max_piece)
      : bytes_(bytes), rng_(seed), max_piece_(std::max<std::size_t>(max_piece, 1)) {}
  std::size_t read(char* out, std::size_t capacity) override {
    const std::size_t left = bytes_.size() - pos_;
    std::size_t n = std::min({left, capacity, std::uniform_int_distribution<std::size_t>(1, max_piece_)(rng_)});
    std::copy(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_),
              bytes_.begin() + static_cast<std::ptrdiff_t>(pos_ + n), out);
    pos_ += n;
    return n;
  }

 private:
  const std::vector<std::uint8_t>& bytes_;
  std::size_t pos_ = 0;
  std::mt19937_64 rng_;
  std::size_t max_piece_;
};

class ZlibGzipSource final : public ByteSource {
 public:
  explicit ZlibGzipSource(ByteSource& compressed) : compressed_(compressed), input_(256 * 1024) {
    if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) {
      failure_ = "cannot start the gzip decoder";
      done_ = true;
      return;
    }
    initialised_ = true;
  }
  ~ZlibGzipSource() override {
    if (initialised_) inflateEnd(&z_);
  }
  ZlibGzipSource(const ZlibGzipSource&) = delete;
  ZlibGzipSource& operator=(const ZlibGzipSource&) = delete;

  std::optional<std::string> failure() const override { return failure_; }

  std::size_t read(char* out, std::size_t capacity) override {
    std::size_t produced = 0;
    while (!done_ && produced < capacity) {
      if (!in_member_) {
        if (!started_) {
          started_ = true;
          if (!refill()) {
            failure_ = "truncated gzip stream";
            done_ = true;
            break;
          }
        } else if (!start_next_member()) {
          done_ = true;
          break;
        }
        in_member_ = true;
      }
      if (z_.avail_in == 0 && !refill()) {
        failure_ = "truncated gzip stream";
        done_ = true;
        break;
      }
      const std::size_t room = std::min<std::size_t>(capacity - produced, UINT_MAX);
      z_.next_out = reinterpret_cast<Bytef*>(out + produced);
      z_.avail_out = static_cast<uInt>(room);
      const int rc = inflate(&z_, Z_NO_FLUSH);
      produced += room - z_.avail_out;
      if (rc == Z_STREAM_END) {
        in_member_ = false;
      } else if (rc == Z_BUF_ERROR) {
        continue;
      } else if (rc != Z_OK) {
        failure_ = z_.msg ? std::string("corrupt gzip stream: ") + z_.msg : "corrupt gzip stream";
        done_ = true;
      }
    }
    return produced;
  }

 private:
  bool refill() {
    const std::size_t got = compressed_.read(input_.data(), input_.size());
    z_.next_in = reinterpret_cast<Bytef*>(input_.data());
    z_.avail_in = static_cast<uInt>(got);
    return got > 0;
  }
  bool start_next_member() {
    if (z_.avail_in == 0 && !refill()) return false;
    if (z_.avail_in < 2) {
      const unsigned char first = *z_.next_in;
      const std::size_t got = compressed_.read(input_.data() + 1, input_.size() - 1);
      input_[0] = static_cast<char>(first);
      z_.next_in = reinterpret_cast<Bytef*>(input_.data());
      z_.avail_in = static_cast<uInt>(got + 1);
      if (got == 0) return false;
    }
    if (z_.next_in[0] != 0x1f || z_.next_in[1] != 0x8b) return false;
    inflateReset(&z_);
    return true;
  }

  ByteSource& compressed_;
  z_stream z_{};
  std::vector<char> input_;
  bool initialised_ = false;
  bool started_ = false;
  bool in_member_ = false;
  bool done_ = false;
  std::optional<std::string> failure_;
};

struct Drained {
  std::string bytes;
  std::optional<std::string> failure;
  bool operator==(const Drained&) const = default;
};

// Reads `source` with read sizes of 1..max_read bytes drawn from `rng`, to
// its end or until at least `limit` bytes came (a small stream may inflate
// to a lot).
inline Drained drain(ByteSource& source, std::mt19937_64& rng, std::size_t max_read, std::size_t limit = SIZE_MAX) {
  Drained d;
  static std::vector<char> buf;  // grown once: zero-filling megabytes per call would dominate
  if (buf.size() < max_read) buf.resize(max_read);
  while (d.bytes.size() < limit) {
    const std::size_t cap = std::uniform_int_distribution<std::size_t>(1, max_read)(rng);
    const std::size_t n = source.read(buf.data(), cap);
    if (n == 0) break;
    d.bytes.append(buf.data(), n);
  }
  d.failure = source.failure();
  return d;
}

// The same to the end, with read sizes drawn from `seed`.
inline Drained drain(ByteSource& source, std::uint64_t seed, std::size_t max_read) {
  std::mt19937_64 rng(seed);
  return drain(source, rng, max_read);
}

}  // namespace velk::testing
