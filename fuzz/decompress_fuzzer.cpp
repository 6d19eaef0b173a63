// The FST block decompressors on their own, fed crafted streams.
//
// Input: byte 0 picks the routine, bytes 1..4 are the claimed uncompressed
// length (little-endian, unbounded on purpose: the routines must refuse
// lengths the compressed bytes cannot justify), byte 5 is the section's pack
// type byte, and the rest is the compressed piece. The last routine is a
// round trip: the rest is compressed with zlib, raw DEFLATE, gzip or LZ4 and
// must come back unchanged, which checks the decoded bytes, not only safety.
// Routine 9 is the streaming gzip input (velk's own DEFLATE decoder): the
// rest, as is or gzip-compressed, is read through GzipByteSource in small
// random pieces and reads, and must give zlib's bytes and failure text.
#include <lz4.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "../tests/cpp/support/zlib_gzip_source.h"
#include "formats/fst/decompress.h"
#include "formats/fst/fastlz.h"
#include "fuzz_support.h"
#include "io/byte_source.h"

namespace {

using velk::fst::FstInput;
using velk::fuzz::check;
using ByteVec = std::vector<std::uint8_t>;

FstInput input_of(const ByteVec& bytes) { return FstInput::from_bytes(bytes); }

// An error from a routine must leave a displayable message.
template <class E>
void touch_error(const E& result) {
  if (!result.ok()) check(!result.error().message().empty(), "empty decoder error");
}

ByteVec deflate_with(const ByteVec& plain, int window_bits) {
  z_stream zs{};
  if (deflateInit2(&zs, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) velk::fuzz::fail("deflateInit2");
  ByteVec out(deflateBound(&zs, plain.size()) + 32);
  zs.next_in = const_cast<Bytef*>(plain.data());
  zs.avail_in = static_cast<uInt>(plain.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) velk::fuzz::fail("deflate");
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

void round_trip(std::uint8_t kind, const ByteVec& plain) {
  const std::uint64_t n = plain.size();
  switch (kind % 4) {
    case 0: {
      const ByteVec packed = deflate_with(plain, 15);
      FstInput in = input_of(packed);
      const auto r = velk::fst::read_zlib_compressed_bytes(in, n, packed.size(), false);
      check(r.ok() && r.value() == plain, "zlib round trip");
      return;
    }
    case 1: {
      const ByteVec packed = deflate_with(plain, -15);
      FstInput in = input_of(packed);
      const auto r = velk::fst::read_raw_deflate(in, n, packed.size());
      check(r.ok() && r.value() == plain, "raw DEFLATE round trip");
      return;
    }
    case 2: {
      ByteVec packed{0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
      const ByteVec body = deflate_with(plain, -15);
      packed.insert(packed.end(), body.begin(), body.end());
      FstInput in = input_of(packed);
      check(velk::fst::read_gzip_header(in).ok(), "gzip header round trip");
      const auto r = velk::fst::inflate_gzip_body(in, n);
      check(r.ok() && r.value() == plain, "gzip body round trip");
      return;
    }
    default: {
      ByteVec packed(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(plain.size()))) + 1);
      const int c = LZ4_compress_default(reinterpret_cast<const char*>(plain.data()),
                                         reinterpret_cast<char*>(packed.data()), static_cast<int>(plain.size()),
                                         static_cast<int>(packed.size()));
      if (c <= 0) velk::fuzz::fail("LZ4_compress_default");
      packed.resize(static_cast<std::size_t>(c));
      FstInput in = input_of(packed);
      const auto r = velk::fst::read_lz4_compressed_bytes(in, n, packed.size());
      check(r.ok() && r.value() == plain, "LZ4 round trip");
      const auto direct = velk::fst::decompress_lz4_block(packed, n);
      check(direct.ok() && direct.value() == plain, "in-memory LZ4 round trip");
      return;
    }
  }
}

void gzip_stream(std::uint32_t seed, std::uint8_t options, const ByteVec& piece) {
  constexpr std::size_t kLimit = 4u << 20;
  const bool compress = (options & 1) != 0;
  ByteVec stream = piece;
  if (compress) {
    static constexpr int kStrategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    z_stream zs{};
    if (deflateInit2(&zs, (options >> 1) % 10, Z_DEFLATED, 16 + 15, 8, kStrategies[(options >> 5) % 5]) != Z_OK) {
      velk::fuzz::fail("deflateInit2");
    }
    stream.resize(deflateBound(&zs, piece.size()) + 32);
    zs.next_in = const_cast<Bytef*>(piece.data());
    zs.avail_in = static_cast<uInt>(piece.size());
    zs.next_out = stream.data();
    zs.avail_out = static_cast<uInt>(stream.size());
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) velk::fuzz::fail("deflate");
    stream.resize(zs.total_out);
    deflateEnd(&zs);
  }
  std::mt19937_64 rng(seed);
  const std::size_t max_piece = 1 + (seed & 0x3ff);
  velk::testing::PieceSource ours_in(stream, seed, max_piece), zlib_in(stream, seed, max_piece);
  velk::GzipByteSource ours(ours_in);
  velk::testing::ZlibGzipSource reference(zlib_in);
  const auto got = velk::testing::drain(ours, rng, 1 + ((seed >> 10) & 0xfff), kLimit);
  // zlib reads with room to spare (see the reference's notes on truncation).
  const auto want = velk::testing::drain(reference, rng, kLimit, kLimit);
  if (got.bytes.size() < kLimit && want.bytes.size() < kLimit) {
    check(got.failure == want.failure, "gzip failure differs from zlib's",
          got.failure.value_or("none") + " / " + want.failure.value_or("none"));
    check(got.bytes == want.bytes, "gzip bytes differ from zlib's");
  } else {
    const std::size_t n = std::min(got.bytes.size(), want.bytes.size());
    check(got.bytes.compare(0, n, want.bytes, 0, n) == 0, "gzip bytes differ from zlib's");
  }
  if (compress) {
    check(!got.failure.has_value(), "gzip round trip failed", got.failure.value_or(""));
    check(got.bytes == std::string(piece.begin(), piece.end()), "gzip round trip changed the bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6) return 0;
  const std::uint8_t mode = data[0] % 10;
  std::uint32_t claimed = 0;
  std::memcpy(&claimed, data + 1, 4);
  const std::uint8_t pack_byte = data[5];
  const ByteVec piece(data + 6, data + size);
  const std::uint64_t c = piece.size();

  FstInput in = input_of(piece);
  std::vector<std::uint8_t> out, scratch;
  switch (mode) {
    case 0:
    case 1: {
      const bool stored = mode == 0;
      const auto r = velk::fst::read_zlib_compressed_bytes(in, claimed, c, stored);
      touch_error(r);
      if (r.ok()) check(r.value().size() == claimed, "zlib length");
      if (r.ok() && stored && claimed == c) check(r.value() == piece, "stored bytes changed");
      break;
    }
    case 2: {
      const auto r = velk::fst::read_raw_deflate(in, claimed, c);
      touch_error(r);
      if (r.ok()) check(r.value().size() == claimed, "raw DEFLATE length");
      break;
    }
    case 3: {
      const auto header = velk::fst::read_gzip_header(in);
      touch_error(header);
      if (!header.ok()) break;
      const auto r = velk::fst::inflate_gzip_body(in, claimed);
      touch_error(r);
      if (r.ok()) check(r.value().size() <= claimed, "gzip body longer than asked");
      break;
    }
    case 4: {
      const auto r = velk::fst::read_lz4_compressed_bytes(in, claimed, c);
      touch_error(r);
      if (r.ok()) check(r.value().size() == claimed, "LZ4 length");
      const auto direct = velk::fst::decompress_lz4_block(piece, claimed);
      check(direct.ok() == r.ok(), "LZ4 paths disagree");
      if (r.ok()) check(direct.value() == r.value(), "LZ4 paths differ");
      break;
    }
    case 5:
    case 6: {
      // FastLZ; the level comes from the first byte of the piece.
      out.assign(pack_byte % 4, 0xAA);  // earlier output a match must not reach into
      const std::size_t before = out.size();
      const auto r = velk::fst::fastlz::decompress(in, c, claimed, out);
      touch_error(r);
      check(out.size() >= before, "FastLZ dropped earlier output");
      check(std::all_of(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(before),
                        [](std::uint8_t b) { return b == 0xAA; }),
            "FastLZ overwrote earlier output");
      break;
    }
    case 7: {
      const auto r = velk::fst::read_packed_signal_value_bytes(in, c, velk::fst::pack_type_from_byte(pack_byte), out,
                                                               scratch);
      touch_error(r);
      break;
    }
    case 8:
      round_trip(pack_byte, piece);
      break;
    default:
      gzip_stream(claimed, pack_byte, piece);
      break;
  }
  return 0;
}
