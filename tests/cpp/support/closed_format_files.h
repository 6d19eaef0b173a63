// Small, well-formed files of the closed formats (VPD, WLF, SHM design and
// transitions) that exercise each reader's main paths: the seeds of the
// mutation tests and of the fuzzers' corpora.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/shm/shm_trace.h"
#include "formats/wlf/wlf_trace.h"
#include "support/bytes.h"

namespace velk::testing {

inline ByteVec vpd_seed() {
  ByteVec b(400, 0);
  put_le32(b, 0, 0x12345678);
  put_le32(b, 48, 140);
  put_le32(b, 52, 260);
  put_le32(b, 56, 140);
  std::size_t at = 140;
  for (const char* s : {"FoldedTop", "top.a", "top.b[3]", "top.sub.c"}) {
    put_cstr(b, at, s);
    at += std::string(s).size() + 1;
  }
  at = 260;
  for (const char* s : {"x.y", "x.z", "x.w", "x.v", "x.u"}) {
    put_cstr(b, at, s);
    at += std::string(s).size() + 1;
  }
  return b;
}

inline ByteVec wlf_seed() {
  constexpr std::size_t kPage = wlf::kPageSize;
  ByteVec b(4 * kPage, 0);
  put_be16(b, 24, 8);
  b[40] = 3, b[41] = 'h', b[42] = 'd', b[43] = 'r';
  b[44] = 1, b[45] = 'v';
  b[46] = 0;
  std::size_t at = 47;
  for (const char* s : {"top.a", "top.b", "top.c", "top.u.d"}) {
    put_cstr(b, at, s);
    at += std::string(s).size() + 1;
  }
  put_be16(b, 2, static_cast<std::uint16_t>(at));
  at = kPage + 8;  // a name page
  for (const char* s : {"top.e", "top.f"}) {
    put_cstr(b, at, s);
    at += std::string(s).size() + 1;
  }
  for (std::size_t page = 2; page < 4; ++page) {  // value pages
    const std::size_t p = page * kPage;
    b[p] = b[p + 1] = 0xFF;
    const ByteVec body{0x01, 0x05, 0x02, 0x07, 0xFF, 0x01, 0x06, 0x00, 0xFF, 0xFF, 0x03, 0x09,
                       0x05, 0x01, 0xFF, 0x04, 0x02, 0x02, 0x08, 0xFF, 0x01, 0x04, 0x00, 0x00};
    std::copy(body.begin(), body.end(), b.begin() + static_cast<std::ptrdiff_t>(p + 16));
    put_be16(b, p + 2, static_cast<std::uint16_t>(body.size()));
  }
  return b;
}

inline ByteVec dsn_seed() {
  ByteVec b(128, 0);
  put_be32(b, 0, shm::kMagic);
  const auto record = [&](std::uint32_t tag, std::vector<std::string> strings, bool link) {
    const std::size_t p = b.size();
    b.resize(p + 12, 0);
    put_be32(b, p, tag);
    put_be32(b, p + 8, static_cast<std::uint32_t>(p + 12));
    for (const auto& s : strings) {
      b.insert(b.end(), s.begin(), s.end());
      b.push_back(0);
    }
    while (b.size() % 4) b.push_back(0);
    if (link) put_be32(b, p + 4, static_cast<std::uint32_t>(b.size()));
  };
  record(0x00070501, {"top"}, true);
  record(0x00090700, {"clk", "rst", "d0", "d1"}, true);
  record(0x00070601, {"u_core"}, false);
  record(0x00290700, {"q[0]", "q[1]", "irq"}, true);
  record(0x000F0400, {"core.v"}, false);
  return b;
}

inline ByteVec trn_seed() {
  ByteVec b(64, 0);
  put_be32(b, 0, shm::kMagic);
  put_be32(b, 8, 6);
  const auto block = [&](std::uint32_t t, std::uint32_t c, const ByteVec& values, const ByteVec& extra) {
    const std::size_t k = b.size();
    b.resize(k + 64, 0);
    b[k + 1] = 0x1B, b[k + 2] = 0x22;
    const auto s = static_cast<std::uint32_t>(k + 64);
    const auto e = static_cast<std::uint32_t>(s + values.size());
    put_be32(b, k + 28, t);
    put_be32(b, k + 40, c);
    put_be32(b, k + 48, static_cast<std::uint32_t>(e + extra.size()));
    put_be32(b, k + 52, s);
    put_be32(b, k + 56, e);
    b.insert(b.end(), values.begin(), values.end());
    b.insert(b.end(), extra.begin(), extra.end());
  };
  block(1000, 4, {0x08, 0x10}, {});
  block(400, 3, {0xA0, 0x80, 0x40, 0x00, 0x00}, {});
  block(2047, 1, {0x18}, {0x00, 0x12, 0x40, 0x00, 0x00, 0x26, 0xF5, 0x00, 0x01, 0x8F, 0x00, 0x00});
  block(0, 1, {}, {});
  block(1270, 1, {0x10}, {0x00, 0x13, 0x40, 0x00, 0x00, 0x20, 0x00, 0x05, 0x54, 0x01, 0x81, 0x00});
  return b;
}

}  // namespace velk::testing
