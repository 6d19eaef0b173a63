// Building input bytes by hand in the reader tests: fixed-width fields at an
// offset, appended varints and strings, compression and temporary files.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace velk::testing {

using ByteVec = std::vector<std::uint8_t>;

// Writes `v` at `off` in `bytes` bytes, most significant first (big-endian)
// or last (little-endian); the buffer grows with zeros when it is too short.
inline void put_uint(ByteVec& b, std::size_t off, std::uint64_t v, int bytes, bool big_endian) {
  if (b.size() < off + bytes) b.resize(off + bytes, 0);
  for (int i = 0; i < bytes; ++i) {
    const int shift = 8 * (big_endian ? bytes - 1 - i : i);
    b[off + i] = static_cast<std::uint8_t>(v >> shift);
  }
}
inline void put_be16(ByteVec& b, std::size_t off, std::uint16_t v) { put_uint(b, off, v, 2, true); }
inline void put_be32(ByteVec& b, std::size_t off, std::uint32_t v) { put_uint(b, off, v, 4, true); }
inline void put_le16(ByteVec& b, std::size_t off, std::uint16_t v) { put_uint(b, off, v, 2, false); }
inline void put_le32(ByteVec& b, std::size_t off, std::uint32_t v) { put_uint(b, off, v, 4, false); }
// `s` and a NUL at `off`.
inline void put_cstr(ByteVec& b, std::size_t off, std::string_view s) {
  if (b.size() < off + s.size() + 1) b.resize(off + s.size() + 1, 0);
  std::copy(s.begin(), s.end(), b.begin() + static_cast<std::ptrdiff_t>(off));
  b[off + s.size()] = 0;
}

inline void append(ByteVec& b, const ByteVec& more) { b.insert(b.end(), more.begin(), more.end()); }
inline void append_be64(ByteVec& b, std::uint64_t v) { put_uint(b, b.size(), v, 8, true); }
inline void append_cstr(ByteVec& b, std::string_view s) { put_cstr(b, b.size(), s); }
inline void append_uleb128(ByteVec& b, std::uint64_t v) {
  while (v >= 0x80) {
    b.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  b.push_back(static_cast<std::uint8_t>(v));
}
inline void append_sleb128(ByteVec& b, std::int64_t v) {
  for (;;) {
    const auto byte = static_cast<std::uint8_t>(v & 0x7f);
    v >>= 7;
    const bool done = (v == 0 && !(byte & 0x40)) || (v == -1 && (byte & 0x40));
    b.push_back(done ? byte : byte | 0x80);
    if (done) return;
  }
}

inline ByteVec uleb128(std::uint64_t v) {
  ByteVec out;
  append_uleb128(out, v);
  return out;
}
inline ByteVec text_bytes(std::string_view s) { return ByteVec(s.begin(), s.end()); }
inline ByteVec cat(std::initializer_list<ByteVec> parts) {
  ByteVec out;
  for (const ByteVec& p : parts) append(out, p);
  return out;
}
// NUL-terminated strings back to back.
inline ByteVec nul_strings(std::initializer_list<std::string_view> items) {
  ByteVec out;
  for (const auto s : items) append_cstr(out, s);
  return out;
}

// A zlib stream of `raw` (empty when compression fails, which the caller's
// expectations then catch).
inline ByteVec zlib_compress(const ByteVec& raw, int level = 6) {
  uLongf size = compressBound(raw.size());
  ByteVec out(size);
  if (compress2(out.data(), &size, raw.data(), raw.size(), level) != Z_OK) return {};
  out.resize(size);
  return out;
}

// A DEFLATE stream of `plain`: raw with window_bits -15, gzip-wrapped with
// 16 + 15 (see zlib's deflateInit2).
inline ByteVec deflate_stream(const ByteVec& plain, int window_bits, int level = 9) {
  z_stream zs{};
  if (deflateInit2(&zs, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  ByteVec out(deflateBound(&zs, plain.size()) + 32);
  zs.next_in = const_cast<Bytef*>(plain.data());
  zs.avail_in = static_cast<uInt>(plain.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&zs, Z_FINISH);
  deflateEnd(&zs);
  if (rc != Z_STREAM_END) return {};
  out.resize(zs.total_out);
  return out;
}
inline ByteVec raw_deflate(const ByteVec& plain) { return deflate_stream(plain, -15); }
inline ByteVec gzip(const ByteVec& plain) { return deflate_stream(plain, 16 + 15, 6); }

inline ByteVec read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return ByteVec(std::istreambuf_iterator<char>(in), {});
}

// A file holding `content` in the temporary directory, removed when dropped;
// the name is unique within the machine's test runs.
class TempFile {
 public:
  explicit TempFile(const ByteVec& content, std::string_view suffix = "") {
    static std::atomic<int> counter{0};
    path_ = (std::filesystem::temp_directory_path() /
             ("velk_" + std::to_string(::getpid()) + "_" + std::to_string(counter++) + std::string(suffix)))
                .string();
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace velk::testing
