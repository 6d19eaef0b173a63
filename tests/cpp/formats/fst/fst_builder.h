// Hand-built FST byte layouts for the decoder tests: each helper writes one
// field or block exactly as the file format lays it out.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <lz4.h>
#include <string>
#include <vector>
#include <zlib.h>

#include "formats/fst/fst_input.h"

namespace velk::fst::testing {

using Buf = std::vector<std::uint8_t>;

inline void put_u64(Buf& b, std::uint64_t v) {
  for (int i = 7; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void put_varint(Buf& b, std::uint64_t v) {
  while (v >= 0x80) {
    b.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  b.push_back(static_cast<std::uint8_t>(v));
}
inline void put_svarint(Buf& b, std::int64_t v) {
  for (;;) {
    const auto byte = static_cast<std::uint8_t>(v & 0x7f);
    v >>= 7;
    const bool done = (v == 0 && !(byte & 0x40)) || (v == -1 && (byte & 0x40));
    b.push_back(done ? byte : byte | 0x80);
    if (done) return;
  }
}
inline void put_bytes(Buf& b, const Buf& more) { b.insert(b.end(), more.begin(), more.end()); }
inline void put_str(Buf& b, const std::string& s) {
  b.insert(b.end(), s.begin(), s.end());
  b.push_back(0);
}
inline Buf bytes(std::initializer_list<int> list) {
  Buf b;
  for (int v : list) b.push_back(static_cast<std::uint8_t>(v));
  return b;
}

// Type byte, u64 length counting itself, payload.
inline Buf block(std::uint8_t type, const Buf& payload) {
  Buf b{type};
  put_u64(b, payload.size() + 8);
  put_bytes(b, payload);
  return b;
}

inline Buf header_block(std::uint64_t start, std::uint64_t end, std::uint8_t file_type = 0) {
  Buf p;
  put_u64(p, start);
  put_u64(p, end);
  double e = 2.718281828459045;
  std::uint8_t le[8];
  std::memcpy(le, &e, 8);  // the test machine is little-endian, like the writers
  p.insert(p.end(), le, le + 8);
  for (int i = 0; i < 5; ++i) put_u64(p, i);
  p.push_back(static_cast<std::uint8_t>(-9));
  std::string version = "hand-built";
  version.resize(128, '\0');
  p.insert(p.end(), version.begin(), version.end());
  p.insert(p.end(), 119, 0);
  p.push_back(file_type);
  put_u64(p, 0);
  return block(0, p);
}

// Geometry stored uncompressed (equal lengths).
inline Buf geometry_block(const std::vector<std::uint32_t>& stored) {
  Buf body;
  for (auto v : stored) put_varint(body, v);
  Buf p;
  put_u64(p, body.size());
  put_u64(p, stored.size());
  put_bytes(p, body);
  return block(3, p);
}

inline Buf zlib_compress(const Buf& in) {
  uLongf n = compressBound(in.size());
  Buf out(n);
  compress2(out.data(), &n, in.data(), in.size(), 9);
  out.resize(n);
  return out;
}

inline Buf raw_deflate(const Buf& in) {
  z_stream zs{};
  deflateInit2(&zs, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Buf out(deflateBound(&zs, in.size()) + 16);
  zs.next_in = const_cast<Bytef*>(in.data());
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

inline Buf lz4_compress(const Buf& in) {
  Buf out(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(in.size()))));
  const int n = LZ4_compress_default(reinterpret_cast<const char*>(in.data()), reinterpret_cast<char*>(out.data()),
                                     static_cast<int>(in.size()), static_cast<int>(out.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

inline Buf gzip_member_header() { return bytes({0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3}); }

// Hierarchy block of type 4 (gzip), 6 (LZ4) or 7 (LZ4 twice).
inline Buf hierarchy_block(const Buf& entries, std::uint8_t type = 4) {
  Buf p;
  put_u64(p, entries.size());
  if (type == 4) {
    put_bytes(p, gzip_member_header());
    put_bytes(p, raw_deflate(entries));
    put_bytes(p, bytes({0, 0, 0, 0, 0, 0, 0, 0}));  // trailer, not checked
  } else if (type == 6) {
    put_bytes(p, lz4_compress(entries));
  } else {
    const Buf once = lz4_compress(entries);
    put_varint(p, once.size());
    put_bytes(p, lz4_compress(once));
  }
  return block(type, p);
}

inline Buf var_entry(std::uint8_t type, const std::string& name, std::uint32_t length, std::uint32_t alias = 0,
                     std::uint8_t direction = 0) {
  Buf b{type, direction};
  put_str(b, name);
  put_varint(b, length);
  put_varint(b, alias);
  return b;
}
inline Buf scope_entry(const std::string& name, std::uint8_t type = 0) {
  Buf b{254, type};
  put_str(b, name);
  put_str(b, "");
  return b;
}
inline Buf upscope_entry() { return Buf{255}; }

// One value-change section (without its type byte's block framing helpers).
struct Section {
  std::uint8_t type = 8;  // 1, 5 or 8
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::vector<std::uint64_t> times;
  Buf frame;               // stored
  std::uint64_t frame_signals = 0;
  std::uint64_t vc_signals = 0;
  std::uint8_t pack = 'Z';
  std::vector<Buf> chains;  // each written as is, in order, first at offset 1
  Buf offset_table;         // encoded by the test
};

inline Buf section_block(const Section& s) {
  Buf p;
  put_u64(p, s.start);
  put_u64(p, s.end);
  put_u64(p, 0);
  put_varint(p, s.frame.size());
  put_varint(p, s.frame.size());
  put_varint(p, s.frame_signals);
  put_bytes(p, s.frame);
  put_varint(p, s.vc_signals);
  p.push_back(s.pack);
  for (const auto& c : s.chains) put_bytes(p, c);
  put_bytes(p, s.offset_table);
  put_u64(p, s.offset_table.size());
  Buf times;
  std::uint64_t prev = 0;
  for (auto t : s.times) {
    put_varint(times, t - prev);
    prev = t;
  }
  put_bytes(p, times);
  put_u64(p, times.size());
  put_u64(p, times.size());
  put_u64(p, s.times.size());
  return block(s.type, p);
}

// A stored chain: leading varint 0, then the records.
inline Buf stored_chain(const Buf& records) {
  Buf b{0};
  put_bytes(b, records);
  return b;
}

inline FstInput input_of(Buf b) { return FstInput::from_bytes(std::move(b)); }

}  // namespace velk::fst::testing
