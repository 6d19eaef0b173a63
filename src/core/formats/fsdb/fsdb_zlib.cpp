// zlib access for the FSDB reader: the bounded one-shot inflate used to find
// blocks, and the streaming inflate of the width table.
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <new>

#include "formats/fsdb/fsdb_internal.h"
#include "formats/fsdb/fsdb_trace.h"

namespace velk::fsdb {
namespace {

constexpr std::size_t kFirstOutput = std::size_t{1} << 20;
constexpr std::size_t kRetryOutput = std::size_t{4} << 20;
constexpr std::size_t kStreamPiece = std::size_t{64} << 10;

// An inflate state that expects a zlib header, ended on every path.
class Inflater {
 public:
  Inflater() {
    if (inflateInit(&zs_) != Z_OK) throw std::bad_alloc();
  }
  ~Inflater() { inflateEnd(&zs_); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Back to the state of a fresh decoder, keeping its allocations.
  void reset() { inflateReset(&zs_); }
  // zlib counts input in 32-bit units; a longer range is offered in part,
  // which only matters for streams longer than 4 GiB.
  void set_input(Bytes in) {
    zs_.next_in = const_cast<Bytef*>(in.data());  // zlib never writes its input
    zs_.avail_in = static_cast<uInt>(std::min<std::size_t>(in.size(), UINT_MAX));
  }
  int run(std::uint8_t* out, std::size_t out_size, int flush) {
    zs_.next_out = out;
    zs_.avail_out = static_cast<uInt>(out_size);
    const int rc = inflate(&zs_, flush);
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    produced_ = out_size - zs_.avail_out;
    return rc;
  }
  std::size_t produced() const { return produced_; }
  std::size_t consumed() const { return zs_.total_in; }
  bool input_left() const { return zs_.avail_in > 0; }

 private:
  z_stream zs_{};
  std::size_t produced_ = 0;
};

}  // namespace

// The decoder and output buffer are allocated once and reused for every
// attempt: a scan may try tens of thousands of positions.
class BlockInflater::Impl {
 public:
  struct Shot {
    int status = Z_DATA_ERROR;
    std::size_t produced = 0;
    std::size_t consumed = 0;
  };

  // A single sync-flush inflate into the first `limit` bytes of the buffer, as
  // a fresh decoder would do it. Only the produced bytes are ever read, so the
  // buffer is never cleared.
  Shot once(Bytes in, std::size_t limit) {
    if (capacity_ < limit) {
      buffer_.reset(new std::uint8_t[limit]);
      capacity_ = limit;
    }
    z_.reset();
    z_.set_input(in);
    const int status = z_.run(buffer_.get(), limit, Z_SYNC_FLUSH);
    return {status, z_.produced(), z_.consumed()};
  }
  std::optional<Inflated> output(const Shot& shot) const {
    if (shot.produced == 0) return std::nullopt;
    return Inflated{std::vector<std::uint8_t>(buffer_.get(), buffer_.get() + shot.produced), shot.consumed};
  }

 private:
  Inflater z_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t capacity_ = 0;
};

BlockInflater::BlockInflater() : impl_(std::make_unique<Impl>()) {}
BlockInflater::~BlockInflater() = default;

std::optional<Inflated> BlockInflater::inflate(Bytes bytes) {
  if (bytes.size() < 2) return std::nullopt;
  const Impl::Shot first = impl_->once(bytes, kFirstOutput);
  produced_total_ += first.produced;
  if (first.status == Z_OK || first.status == Z_STREAM_END) return impl_->output(first);
  // zlib reports a buffer error when it could make no progress at all; a
  // larger buffer is tried once before the position is given up.
  if (first.status != Z_BUF_ERROR) return std::nullopt;
  const Impl::Shot retry = impl_->once(bytes, kRetryOutput);
  produced_total_ += retry.produced;
  if (retry.status != Z_OK && retry.status != Z_STREAM_END && retry.status != Z_BUF_ERROR) return std::nullopt;
  return impl_->output(retry);
}

std::optional<Inflated> try_zlib_decompress(Bytes bytes) { return BlockInflater().inflate(bytes); }

bool inflate_complete(Bytes bytes, std::uint64_t max_output, const std::function<void(Bytes)>& on_output) {
  Inflater z;
  z.set_input(bytes);
  const std::unique_ptr<std::uint8_t[]> piece(new std::uint8_t[kStreamPiece]);
  std::uint64_t total = 0;
  for (;;) {
    const int rc = z.run(piece.get(), kStreamPiece, Z_NO_FLUSH);
    total += z.produced();
    if (total > max_output) return false;
    if (z.produced() > 0) on_output(Bytes(piece.get(), z.produced()));
    if (rc == Z_STREAM_END) return true;
    if (rc != Z_OK) return false;  // corrupt, needs a dictionary, or truncated
    // Z_OK with room left in the output and no input left means the stream
    // stops short of its end.
    if (z.produced() < kStreamPiece && !z.input_left()) return false;
  }
}

}  // namespace velk::fsdb
