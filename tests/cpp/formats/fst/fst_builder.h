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
#include "support/bytes.h"

namespace velk::fst::testing {

using namespace velk::testing;
using Buf = ByteVec;

inline Buf bytes(std::initializer_list<int> list) {
  Buf b;
  for (int v : list) b.push_back(static_cast<std::uint8_t>(v));
  return b;
}

// Type byte, u64 length counting itself, payload.
inline Buf block(std::uint8_t type, const Buf& payload) {
  Buf b{type};
  append_be64(b, payload.size() + 8);
  append(b, payload);
  return b;
}

inline Buf header_block(std::uint64_t start, std::uint64_t end, std::uint8_t file_type = 0) {
  Buf p;
  append_be64(p, start);
  append_be64(p, end);
  double e = 2.718281828459045;
  std::uint8_t le[8];
  std::memcpy(le, &e, 8);  // the test machine is little-endian, like the writers
  p.insert(p.end(), le, le + 8);
  for (int i = 0; i < 5; ++i) append_be64(p, i);
  p.push_back(static_cast<std::uint8_t>(-9));
  std::string version = "hand-built";
  version.resize(128, '\0');
  p.insert(p.end(), version.begin(), version.end());
  p.insert(p.end(), 119, 0);
  p.push_back(file_type);
  append_be64(p, 0);
  return block(0, p);
}

// Geometry stored uncompressed (equal lengths).
inline Buf geometry_block(const std::vector<std::uint32_t>& stored) {
  Buf body;
  for (auto v : stored) append_uleb128(body, v);
  Buf p;
  append_be64(p, body.size());
  append_be64(p, stored.size());
  append(p, body);
  return block(3, p);
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
  append_be64(p, entries.size());
  if (type == 4) {
    append(p, gzip_member_header());
    append(p, raw_deflate(entries));
    append(p, bytes({0, 0, 0, 0, 0, 0, 0, 0}));  // trailer, not checked
  } else if (type == 6) {
    append(p, lz4_compress(entries));
  } else {
    const Buf once = lz4_compress(entries);
    append_uleb128(p, once.size());
    append(p, lz4_compress(once));
  }
  return block(type, p);
}

inline Buf var_entry(std::uint8_t type, const std::string& name, std::uint32_t length, std::uint32_t alias = 0,
                     std::uint8_t direction = 0) {
  Buf b{type, direction};
  append_cstr(b, name);
  append_uleb128(b, length);
  append_uleb128(b, alias);
  return b;
}
inline Buf scope_entry(const std::string& name, std::uint8_t type = 0) {
  Buf b{254, type};
  append_cstr(b, name);
  append_cstr(b, "");
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
  append_be64(p, s.start);
  append_be64(p, s.end);
  append_be64(p, 0);
  append_uleb128(p, s.frame.size());
  append_uleb128(p, s.frame.size());
  append_uleb128(p, s.frame_signals);
  append(p, s.frame);
  append_uleb128(p, s.vc_signals);
  p.push_back(s.pack);
  for (const auto& c : s.chains) append(p, c);
  append(p, s.offset_table);
  append_be64(p, s.offset_table.size());
  Buf times;
  std::uint64_t prev = 0;
  for (auto t : s.times) {
    append_uleb128(times, t - prev);
    prev = t;
  }
  append(p, times);
  append_be64(p, times.size());
  append_be64(p, times.size());
  append_be64(p, s.times.size());
  return block(s.type, p);
}

// A stored chain: leading varint 0, then the records.
inline Buf stored_chain(const Buf& records) {
  Buf b{0};
  append(b, records);
  return b;
}

inline FstInput input_of(Buf b) { return FstInput::from_bytes(std::move(b)); }

}  // namespace velk::fst::testing
