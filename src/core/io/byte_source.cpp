#include "io/byte_source.h"

#include "io/inflate.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

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

namespace {
constexpr std::size_t kCompressedBlock = 256 * 1024;
constexpr std::size_t kInputSize = kCompressedBlock + Inflater::kInputMargin;
constexpr std::uint8_t kMagic0 = 0x1f;
constexpr std::uint8_t kMagic1 = 0x8b;
constexpr std::uint8_t kDeflateMethod = 8;
constexpr std::uint8_t kFlagHeaderCrc = 0x02;
constexpr std::uint8_t kFlagExtra = 0x04;
constexpr std::uint8_t kFlagName = 0x08;
constexpr std::uint8_t kFlagComment = 0x10;
constexpr std::uint8_t kFlagReserved = 0xe0;

std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
}  // namespace

GzipByteSource::GzipByteSource(ByteSource& compressed)
    : compressed_(compressed),
      inflater_(std::make_unique<Inflater>()),
      input_(new std::uint8_t[kInputSize]) {}

GzipByteSource::~GzipByteSource() = default;

// Moves the unread bytes to the front and appends the next compressed block.
void GzipByteSource::refill() {
  if (in_eof_) return;
  if (in_pos_ > 0) {
    std::memmove(input_.get(), input_.get() + in_pos_, in_end_ - in_pos_);
    in_end_ -= in_pos_;
    in_pos_ = 0;
  }
  const std::size_t got =
      compressed_.read(reinterpret_cast<char*>(input_.get() + in_end_), kInputSize - in_end_);
  if (got == 0) {
    in_eof_ = true;
  } else {
    in_end_ += got;
  }
}

// True once `want` unread bytes are buffered; false if the input ends first.
bool GzipByteSource::fill(std::size_t want) {
  while (in_end_ - in_pos_ < want && !in_eof_) refill();
  return in_end_ - in_pos_ >= want;
}

// Consumes `n` header bytes (copying them to `copy` if given) into the
// header's CRC; false if the input ends first.
bool GzipByteSource::header_bytes(std::size_t n, std::uint8_t* copy) {
  while (n > 0) {
    if (!fill(1)) return false;
    const std::size_t k = std::min(n, in_end_ - in_pos_);
    const std::uint8_t* p = input_.get() + in_pos_;
    if (copy != nullptr) {
      std::memcpy(copy, p, k);
      copy += k;
    }
    header_crc_ = gzip_crc32(header_crc_, p, k);
    in_pos_ += k;
    n -= k;
  }
  return true;
}

bool GzipByteSource::skip_zero_terminated() {
  for (;;) {
    if (!fill(1)) return false;
    const std::uint8_t* p = input_.get() + in_pos_;
    const std::size_t avail = in_end_ - in_pos_;
    const void* zero = std::memchr(p, 0, avail);
    const std::size_t k = zero != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - p) + 1 : avail;
    header_crc_ = gzip_crc32(header_crc_, p, k);
    in_pos_ += k;
    if (zero != nullptr) return true;
  }
}

void GzipByteSource::fail(std::string text) {
  deferred_failure_ = std::move(text);
  stage_ = Stage::kDone;
}

// A member header. The first member must have one ("incorrect header
// check" otherwise, as zlib says); after a member, the input ends quietly
// unless the next two bytes are the gzip magic.
void GzipByteSource::read_header(bool first) {
  if (!fill(2)) {
    if (first) {
      fail("truncated gzip stream");  // an empty file is no gzip stream
    } else {
      stage_ = Stage::kDone;
    }
    return;
  }
  const std::uint8_t* p = input_.get() + in_pos_;
  if (p[0] != kMagic0 || p[1] != kMagic1) {
    if (first) {
      fail("corrupt gzip stream: incorrect header check");
    } else {
      stage_ = Stage::kDone;
    }
    return;
  }
  header_crc_ = 0;
  std::uint8_t fixed[10];
  if (!header_bytes(2, fixed) || !header_bytes(2, fixed + 2)) return fail("truncated gzip stream");
  if (fixed[2] != kDeflateMethod) return fail("corrupt gzip stream: unknown compression method");
  const std::uint8_t flags = fixed[3];
  if (flags & kFlagReserved) return fail("corrupt gzip stream: unknown header flags set");
  if (!header_bytes(6, fixed + 4)) return fail("truncated gzip stream");  // time, extra flags, system
  if (flags & kFlagExtra) {
    std::uint8_t xlen[2];
    if (!header_bytes(2, xlen)) return fail("truncated gzip stream");
    if (!header_bytes(std::size_t{xlen[0]} | std::size_t{xlen[1]} << 8, nullptr)) {
      return fail("truncated gzip stream");
    }
  }
  if ((flags & kFlagName) && !skip_zero_terminated()) return fail("truncated gzip stream");
  if ((flags & kFlagComment) && !skip_zero_terminated()) return fail("truncated gzip stream");
  if (flags & kFlagHeaderCrc) {
    if (!fill(2)) return fail("truncated gzip stream");
    const std::uint8_t* q = input_.get() + in_pos_;
    const std::uint32_t stored = std::uint32_t{q[0]} | std::uint32_t{q[1]} << 8;
    if (stored != (header_crc_ & 0xffff)) return fail("corrupt gzip stream: header crc mismatch");
    in_pos_ += 2;
  }
  inflater_->start();
  crc_ = 0;
  member_size_ = 0;
  stage_ = Stage::kBody;
}

// Decodes until the window has bytes to hand out or the member's data ends.
void GzipByteSource::inflate_body() {
  for (;;) {
    const std::size_t before = inflater_->pending_size();
    const Inflater::Status status = inflater_->run(input_.get(), in_pos_, in_end_, in_eof_);
    const std::size_t made = inflater_->pending_size() - before;
    crc_ = gzip_crc32(crc_, inflater_->pending() + before, made);
    member_size_ += made;
    switch (status) {
      case Inflater::Status::kOutputFull:
        return;
      case Inflater::Status::kNeedInput:
        refill();
        break;
      case Inflater::Status::kEnd:
        stage_ = Stage::kTrailer;
        return;
      case Inflater::Status::kTruncated:
        return fail("truncated gzip stream");
      case Inflater::Status::kError:
        return fail(std::string("corrupt gzip stream: ") + inflater_->message());
    }
    if (made > 0) return;
  }
}

// The member's CRC-32 and length (modulo 2^32) of its uncompressed data.
void GzipByteSource::read_trailer() {
  if (!fill(4)) return fail("truncated gzip stream");
  if (le32(input_.get() + in_pos_) != crc_) return fail("corrupt gzip stream: incorrect data check");
  in_pos_ += 4;
  if (!fill(4)) return fail("truncated gzip stream");
  if (le32(input_.get() + in_pos_) != static_cast<std::uint32_t>(member_size_)) {
    return fail("corrupt gzip stream: incorrect length check");
  }
  in_pos_ += 4;
  stage_ = Stage::kNextHeader;
}

std::size_t GzipByteSource::read(char* out, std::size_t capacity) {
  std::size_t produced = 0;
  while (produced < capacity) {
    const std::size_t ready = inflater_->pending_size();
    if (ready > 0) {
      const std::size_t n = std::min(ready, capacity - produced);
      std::memcpy(out + produced, inflater_->pending(), n);
      inflater_->take(n);
      produced += n;
      continue;
    }
    switch (stage_) {
      case Stage::kFirstHeader:
        read_header(true);
        break;
      case Stage::kNextHeader:
        read_header(false);
        break;
      case Stage::kBody:
        inflate_body();
        break;
      case Stage::kTrailer:
        read_trailer();
        break;
      case Stage::kDone:
        if (deferred_failure_) {
          failure_ = std::move(deferred_failure_);
          deferred_failure_.reset();
        }
        return produced;
    }
  }
  return produced;
}

}  // namespace velk
