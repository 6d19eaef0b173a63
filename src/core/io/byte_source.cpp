#include "io/byte_source.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>
#include <zlib.h>

namespace velk {

std::size_t FileByteSource::read(char* out, std::size_t capacity) {
  std::size_t total = 0;
  while (total < capacity) {
    const ssize_t got = ::read(fd_, out + total, capacity - total);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // the end of the file, or an error: the input ends here
    total += static_cast<std::size_t>(got);
  }
  return total;
}

struct GzipByteSource::Stream {
  z_stream z{};
};

namespace {
constexpr std::size_t kCompressedBlock = 256 * 1024;
constexpr int kGzipOnly = 16 + MAX_WBITS;  // gzip wrapper, no zlib or raw streams
}  // namespace

GzipByteSource::GzipByteSource(ByteSource& compressed)
    : compressed_(compressed), stream_(std::make_unique<Stream>()), input_(kCompressedBlock) {
  if (inflateInit2(&stream_->z, kGzipOnly) != Z_OK) {
    failure_ = "cannot start the gzip decoder";
    done_ = true;
    return;
  }
  initialised_ = true;
}

GzipByteSource::~GzipByteSource() {
  if (initialised_) inflateEnd(&stream_->z);
}

// Reads the next block of compressed bytes; false at the end of the input.
bool GzipByteSource::refill() {
  const std::size_t got = compressed_.read(input_.data(), input_.size());
  stream_->z.next_in = reinterpret_cast<Bytef*>(input_.data());
  stream_->z.avail_in = static_cast<uInt>(got);
  return got > 0;
}

// After a member's end: another member follows only when the next bytes are
// a gzip header; anything else (zero padding, trailing bytes) ends the input,
// as gunzip treats it.
bool GzipByteSource::start_next_member() {
  z_stream& z = stream_->z;
  if (z.avail_in == 0 && !refill()) return false;
  if (z.avail_in < 2) {
    // The magic may straddle a read; keep the byte and look again.
    const unsigned char first = *z.next_in;
    const std::size_t got = compressed_.read(input_.data() + 1, input_.size() - 1);
    input_[0] = static_cast<char>(first);
    z.next_in = reinterpret_cast<Bytef*>(input_.data());
    z.avail_in = static_cast<uInt>(got + 1);
    if (got == 0) return false;
  }
  if (z.next_in[0] != 0x1f || z.next_in[1] != 0x8b) return false;
  inflateReset(&z);
  return true;
}

std::size_t GzipByteSource::read(char* out, std::size_t capacity) {
  z_stream& z = stream_->z;
  std::size_t produced = 0;
  while (!done_ && produced < capacity) {
    if (!in_member_) {
      if (!started_) {
        started_ = true;
        if (!refill()) {
          failure_ = "truncated gzip stream";  // an empty file is no gzip stream
          done_ = true;
          break;
        }
      } else if (!start_next_member()) {
        done_ = true;
        break;
      }
      in_member_ = true;
    }
    if (z.avail_in == 0 && !refill()) {
      failure_ = "truncated gzip stream";
      done_ = true;
      break;
    }
    const std::size_t room = std::min<std::size_t>(capacity - produced, UINT_MAX);
    z.next_out = reinterpret_cast<Bytef*>(out + produced);
    z.avail_out = static_cast<uInt>(room);
    const int rc = inflate(&z, Z_NO_FLUSH);
    produced += room - z.avail_out;
    if (rc == Z_STREAM_END) {
      in_member_ = false;
    } else if (rc == Z_BUF_ERROR) {
      // No progress possible with the bytes at hand: more input is needed
      // (handled at the top of the loop) unless the output is full.
      continue;
    } else if (rc != Z_OK) {
      failure_ = z.msg ? std::string("corrupt gzip stream: ") + z.msg : "corrupt gzip stream";
      done_ = true;
    }
  }
  return produced;
}

}  // namespace velk
