#include "formats/fst/decompress.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <lz4.h>
#include <string>
#include <zlib.h>

#include "formats/fst/fastlz.h"

namespace velk::fst {
namespace {

// DEFLATE cannot expand input more than 1032-fold; LZ4 not more than 255-fold.
constexpr std::uint64_t kMaxDeflateRatio = 1032;
constexpr std::uint64_t kMaxLz4Ratio = 255;
constexpr std::uint64_t kSlack = 64;

bool expansion_possible(std::uint64_t uncompressed, std::uint64_t compressed, std::uint64_t ratio) {
  return uncompressed <= kSlack || (uncompressed - kSlack) / ratio <= compressed;
}

// Grows `out` by `count` bytes, keeping geometric growth for a shared buffer.
std::uint8_t* grow(std::vector<std::uint8_t>& out, std::uint64_t count) {
  const std::size_t old = out.size();
  if (out.capacity() - old < count) out.reserve(std::max<std::size_t>(old + count, 2 * out.capacity()));
  out.resize(old + static_cast<std::size_t>(count));
  return out.data() + old;
}

// Inflates `src` into exactly `dst.size()` bytes. `window_bits` 15 reads a
// zlib stream, -15 raw DEFLATE.
bool inflate_exact(std::span<const std::uint8_t> src, std::span<std::uint8_t> dst, int window_bits) {
  z_stream zs{};
  if (inflateInit2(&zs, window_bits) != Z_OK) return false;
  zs.next_in = const_cast<Bytef*>(src.data());
  zs.avail_in = 0;
  zs.next_out = dst.data();
  zs.avail_out = 0;
  std::size_t in_left = src.size();
  std::size_t out_left = dst.size();
  int rc = Z_OK;
  // avail_in/avail_out are 32-bit: feed large buffers in pieces.
  while (rc == Z_OK) {
    if (zs.avail_in == 0 && in_left > 0) {
      zs.avail_in = static_cast<uInt>(std::min<std::size_t>(in_left, UINT_MAX));
      in_left -= zs.avail_in;
    }
    if (zs.avail_out == 0 && out_left > 0) {
      zs.avail_out = static_cast<uInt>(std::min<std::size_t>(out_left, UINT_MAX));
      out_left -= zs.avail_out;
    }
    if (zs.avail_out == 0) break;  // output limit reached
    rc = inflate(&zs, Z_NO_FLUSH);
    if (rc == Z_BUF_ERROR && zs.avail_in == 0 && in_left == 0) break;
  }
  const bool ok = (rc == Z_OK || rc == Z_STREAM_END || rc == Z_BUF_ERROR) && zs.avail_out == 0 && out_left == 0;
  inflateEnd(&zs);
  return ok;
}

std::string hex_list(std::span<const std::uint8_t> bytes) {
  std::string out = "[";
  char digits[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ", ";
    std::snprintf(digits, sizeof digits, "%x", bytes[i]);
    out += digits;
  }
  return out + "]";
}

const char* zlib_error_name(int rc) {
  switch (rc) {
    case Z_ERRNO: return "ErrNo";
    case Z_STREAM_ERROR: return "Stream";
    case Z_DATA_ERROR: return "Data";
    case Z_MEM_ERROR: return "Mem";
    case Z_BUF_ERROR: return "Buf";
    case Z_VERSION_ERROR: return "Version";
    default: return "Param";
  }
}

// Reads `count` bytes into the reusable scratch buffer; the count is checked
// against the bytes left in the input first.
bool read_to_scratch(FstInput& in, std::uint64_t count, std::vector<std::uint8_t>& scratch) {
  if (count > in.remaining()) {
    in.fail(ReaderError::io());
    return false;
  }
  scratch.resize(static_cast<std::size_t>(count));
  return in.read_into(scratch);
}

}  // namespace

PackType pack_type_from_byte(std::uint8_t byte) {
  if (byte == '4') return PackType::Lz4;
  if (byte == 'F') return PackType::FastLz;
  return PackType::Zlib;
}

Status read_zlib_into(FstInput& in, std::uint64_t uncompressed, std::uint64_t compressed, bool stored_allowed,
                      std::vector<std::uint8_t>& out, std::vector<std::uint8_t>& scratch) {
  if (compressed > in.remaining()) {
    in.fail(ReaderError::io());
    return in.status();
  }
  if (stored_allowed && uncompressed == compressed) {
    in.read_into(std::span(grow(out, compressed), static_cast<std::size_t>(compressed)));
    return in.status();
  }
  if (!expansion_possible(uncompressed, compressed, kMaxDeflateRatio)) {
    return ReaderError::zlib("claimed length exceeds what the compressed bytes can hold");
  }
  if (!read_to_scratch(in, compressed, scratch)) return in.status();
  const std::size_t old = out.size();
  auto* dst = grow(out, uncompressed);
  if (!inflate_exact(scratch, std::span(dst, static_cast<std::size_t>(uncompressed)), 15)) {
    out.resize(old);
    return ReaderError::zlib("inflate failed or gave a different length");
  }
  return Status();
}

Expected<std::vector<std::uint8_t>> read_zlib_compressed_bytes(FstInput& in, std::uint64_t uncompressed,
                                                               std::uint64_t compressed, bool stored_allowed) {
  std::vector<std::uint8_t> out;
  std::vector<std::uint8_t> scratch;
  const Status status = read_zlib_into(in, uncompressed, compressed, stored_allowed, out, scratch);
  if (!status.ok()) return status.error();
  return out;
}

Expected<std::vector<std::uint8_t>> decompress_lz4_block(std::span<const std::uint8_t> block,
                                                         std::uint64_t uncompressed) {
  if (block.size() > INT_MAX || uncompressed > INT_MAX ||
      !expansion_possible(uncompressed, block.size(), kMaxLz4Ratio)) {
    return ReaderError::lz4("block or claimed length out of range");
  }
  std::vector<std::uint8_t> out(static_cast<std::size_t>(uncompressed));
  const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(block.data()), reinterpret_cast<char*>(out.data()),
                                    static_cast<int>(block.size()), static_cast<int>(uncompressed));
  if (n < 0 || static_cast<std::uint64_t>(n) != uncompressed) return ReaderError::lz4("malformed block");
  return out;
}

Status read_lz4_into(FstInput& in, std::uint64_t uncompressed, std::uint64_t compressed,
                     std::vector<std::uint8_t>& out, std::vector<std::uint8_t>& scratch) {
  if (compressed > INT_MAX || uncompressed > INT_MAX ||
      !expansion_possible(uncompressed, compressed, kMaxLz4Ratio)) {
    if (compressed > in.remaining()) {
      in.fail(ReaderError::io());
      return in.status();
    }
    return ReaderError::lz4("block or claimed length out of range");
  }
  if (!read_to_scratch(in, compressed, scratch)) return in.status();
  const std::size_t old = out.size();
  auto* dst = grow(out, uncompressed);
  const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(scratch.data()), reinterpret_cast<char*>(dst),
                                    static_cast<int>(compressed), static_cast<int>(uncompressed));
  if (n < 0 || static_cast<std::uint64_t>(n) != uncompressed) {
    out.resize(old);
    return ReaderError::lz4("malformed block");
  }
  return Status();
}

Expected<std::vector<std::uint8_t>> read_lz4_compressed_bytes(FstInput& in, std::uint64_t uncompressed,
                                                              std::uint64_t compressed) {
  std::vector<std::uint8_t> out;
  std::vector<std::uint8_t> scratch;
  const Status status = read_lz4_into(in, uncompressed, compressed, out, scratch);
  if (!status.ok()) return status.error();
  return out;
}

Status read_gzip_header(FstInput& in) {
  std::uint8_t header[10];
  if (!in.read_into(header)) return in.status();
  if (header[0] != 0x1f || header[1] != 0x8b) {
    return ReaderError::gzip_header("expected magic bytes (0x1f, 0x8b) got " + hex_list(header));
  }
  if (header[2] != 8) {
    char digits[4];
    std::snprintf(digits, sizeof digits, "%x", header[2]);
    return ReaderError::gzip_header(std::string("expected deflate compression (8) got ") + digits);
  }
  if (header[3] != 0) {
    return ReaderError::gzip_header("TODO currently extra flags are not supported " + std::to_string(header[3]));
  }
  return Status();
}

Expected<std::vector<std::uint8_t>> read_raw_deflate(FstInput& in, std::uint64_t uncompressed,
                                                     std::uint64_t compressed) {
  if (compressed > in.remaining()) {
    in.fail(ReaderError::io());
    return in.error();
  }
  if (!expansion_possible(uncompressed, compressed, kMaxDeflateRatio)) {
    return ReaderError::zlib("claimed length exceeds what the compressed bytes can hold");
  }
  std::vector<std::uint8_t> scratch;
  if (!read_to_scratch(in, compressed, scratch)) return in.error();
  std::vector<std::uint8_t> out(static_cast<std::size_t>(uncompressed));
  if (!inflate_exact(scratch, out, -15)) return ReaderError::zlib("inflate failed or gave a different length");
  return out;
}

Expected<std::vector<std::uint8_t>> inflate_gzip_body(FstInput& in, std::uint64_t uncompressed) {
  constexpr std::size_t kInputChunk = 16384;
  constexpr std::size_t kOutputChunk = 65536;
  z_stream zs{};
  if (inflateInit2(&zs, -15) != Z_OK) return ReaderError::gzip_body("Mem");
  std::vector<std::uint8_t> input(kInputChunk);
  std::vector<std::uint8_t> chunk(kOutputChunk);
  std::vector<std::uint8_t> result;
  // Reserve no more than the rest of the file can expand to.
  result.reserve(static_cast<std::size_t>(std::min(uncompressed, in.remaining() * kMaxDeflateRatio + kSlack)));
  std::size_t pending = 0;  // unconsumed input bytes at the front of `input`
  auto finish = [&zs](Expected<std::vector<std::uint8_t>> r) {
    inflateEnd(&zs);
    return r;
  };
  while (result.size() < uncompressed) {
    pending += in.read_some(input.data() + pending, kInputChunk - pending);
    if (!in.ok()) return finish(in.error());
    zs.next_in = input.data();
    zs.avail_in = static_cast<uInt>(pending);
    zs.next_out = chunk.data();
    zs.avail_out = static_cast<uInt>(kOutputChunk);
    const int rc = inflate(&zs, Z_NO_FLUSH);
    if (rc == Z_NEED_DICT) return finish(ReaderError::unsupported("hande NeedDict status"));
    if (rc != Z_OK && rc != Z_STREAM_END) {
      // The offset is that of the first byte the stream had not consumed.
      Error e = ReaderError::gzip_body(zlib_error_name(rc)).at(in.position() - zs.avail_in);
      if (rc == Z_BUF_ERROR && in.at_end()) e.detail("unexpected end of file");
      return finish(std::move(e));
    }
    const std::size_t produced = kOutputChunk - zs.avail_out;
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(produced, uncompressed - result.size()));
    result.insert(result.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(wanted));
    const std::size_t consumed = pending - zs.avail_in;
    std::copy(input.begin() + static_cast<std::ptrdiff_t>(consumed),
              input.begin() + static_cast<std::ptrdiff_t>(pending), input.begin());
    pending -= consumed;
    if (rc == Z_STREAM_END) break;
  }
  return finish(std::move(result));
}

Status read_packed_signal_value_bytes(FstInput& in, std::uint64_t chain_length, PackType pack,
                                      std::vector<std::uint8_t>& out, std::vector<std::uint8_t>& scratch) {
  std::uint32_t taken = 0;
  const std::uint32_t uncompressed = in.read_varint_u32(&taken);
  if (!in.ok()) return in.status();
  if (taken > chain_length) return ReaderError::malformed("value-change chain shorter than its length prefix");
  const std::uint64_t packed = chain_length - taken;
  if (uncompressed == 0) {
    if (packed > in.remaining()) {
      in.fail(ReaderError::io());
      return in.status();
    }
    in.read_into(std::span(grow(out, packed), static_cast<std::size_t>(packed)));
    return in.status();
  }
  switch (pack) {
    case PackType::Lz4: return read_lz4_into(in, uncompressed, packed, out, scratch);
    case PackType::FastLz: return fastlz::decompress(in, packed, uncompressed, out);
    case PackType::Zlib: return read_zlib_into(in, uncompressed, packed, false, out, scratch);
  }
  return Status();
}

}  // namespace velk::fst
