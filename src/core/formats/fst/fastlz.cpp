#include "formats/fst/fastlz.h"

#include <algorithm>
#include <string>

namespace velk::fst::fastlz {
namespace {

// A FastLZ instruction produces at most 264 bytes per 3 input bytes at level 1
// and 255 bytes per extra length byte at level 2: bound the reservation by it.
constexpr std::uint64_t kMaxExpansion = 256;

class Decoder {
 public:
  Decoder(FstInput& in, std::uint64_t compressed_length, std::vector<std::uint8_t>& out)
      : in_(in), limit_(compressed_length), out_(out), base_(out.size()) {}

  Status run(int level) {
    bool first = true;
    while (consumed_ < limit_) {
      std::uint8_t control = 0;
      if (!take(control)) return failure();
      // Level 2 marks its level in the top bits of the first control byte.
      if (first && level == 2) control &= 31;
      first = false;
      if (control < 32) {
        if (!literal_run(control)) return failure();
      } else if (!match(level, control)) {
        return failure();
      }
    }
    return Status();
  }

 private:
  Status failure() const { return in_.ok() ? Status(*error_) : in_.status(); }

  // One input byte, counted against the compressed length.
  bool take(std::uint8_t& byte) {
    if (consumed_ >= limit_) return refuse("FastLZ data runs past its compressed length");
    ++consumed_;
    return in_.next(byte);
  }

  bool refuse(const char* why) {
    error_ = ReaderError::malformed(why);
    return false;
  }

  bool literal_run(std::uint8_t control) {
    const std::size_t count = std::size_t{control} + 1;
    if (count > limit_ - consumed_) return refuse("FastLZ data runs past its compressed length");
    std::uint8_t bytes[32];
    const std::size_t got = in_.read_some(bytes, count);
    out_.insert(out_.end(), bytes, bytes + got);
    consumed_ += count;
    return in_.ok();
  }

  bool match(int level, std::uint8_t control) {
    std::uint64_t length = (control >> 5) + 2;
    if (control >> 5 == 7) {
      std::uint8_t extra = 0;
      if (level == 1) {
        if (!take(extra)) return false;
        length = std::uint64_t{extra} + 9;
      } else {
        length = 9;
        do {
          if (!take(extra)) return false;
          length += extra;
        } while (extra == 255);
      }
    }
    std::uint8_t offset_low = 0;
    if (!take(offset_low)) return false;
    std::uint64_t distance = ((std::uint64_t{control} & 31) << 8) + offset_low + 1;
    if (level == 2 && (control & 31) == 31 && offset_low == 255) {
      std::uint8_t high = 0;
      std::uint8_t low = 0;
      if (!take(high) || !take(low)) return false;
      distance = (std::uint64_t{high} << 8) + low + 8192;
    }
    const std::uint64_t produced = out_.size() - base_;
    // Malformed data could point before the start of this chain's output.
    if (distance > produced) return refuse("FastLZ match reaches before the start of the output");
    // Byte by byte: a distance shorter than the length repeats a pattern.
    const std::size_t from = out_.size() - static_cast<std::size_t>(distance);
    const std::size_t to = out_.size();
    out_.resize(to + static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < length; ++i) out_[to + i] = out_[from + i];
    return true;
  }

  FstInput& in_;
  std::uint64_t limit_;
  std::uint64_t consumed_ = 0;
  std::vector<std::uint8_t>& out_;
  std::size_t base_;
  std::optional<Error> error_;
};

}  // namespace

Status decompress(FstInput& in, std::uint64_t compressed_length, std::uint64_t uncompressed_length,
                  std::vector<std::uint8_t>& out) {
  const auto first = in.peek_u8();
  if (!first) {
    if (compressed_length == 0 && in.ok()) return Status();
    in.fail(ReaderError::io());
    return in.status();
  }
  const int level = (*first >> 5) + 1;
  if (level != 1 && level != 2) {
    return ReaderError::unsupported("Better error handling for invalid fastlz level " + std::to_string(level) + "!");
  }
  if (compressed_length > in.remaining()) {
    in.fail(ReaderError::io());
    return in.status();
  }
  // The caller's buffer may be shared by many chains: grow it geometrically.
  const std::uint64_t expected = std::min(uncompressed_length, compressed_length * kMaxExpansion);
  if (out.capacity() - out.size() < expected) out.reserve(std::max<std::size_t>(out.size() + expected, 2 * out.capacity()));
  return Decoder(in, compressed_length, out).run(level);
}

}  // namespace velk::fst::fastlz
