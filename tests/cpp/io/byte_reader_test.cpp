// The bounds-checked cursor and the LEB128 decoder behind every varint.
#include "io/byte_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace velk {
namespace {

using Buf = std::vector<std::uint8_t>;

TEST(Leb128, UnsignedSignedAndTheirEnds) {
  auto decode = [](const Buf& b, unsigned max) {
    std::size_t i = 0;
    return decode_uleb128(
        [&](std::uint8_t& out) {
          if (i == b.size()) return false;
          out = b[i++];
          return true;
        },
        max);
  };
  const Leb128 v = decode({0xE5, 0x8E, 0x26, 0xFF}, 10);
  EXPECT_EQ(v.value, 624485u);
  EXPECT_EQ(v.bytes, 3u);
  EXPECT_EQ(v.end, Leb128::End::Done);
  const Leb128 eof = decode({0x81, 0x81}, 10);
  EXPECT_EQ(eof.end, Leb128::End::Eof);
  EXPECT_EQ(eof.value, 0x81u);  // the bits read so far
  EXPECT_EQ(decode({0x80, 0x80, 0x80}, 2).end, Leb128::End::TooLong);
  // Bits past the 64th are dropped, not shifted in undefined ways.
  EXPECT_EQ(decode({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, 10).value, ~std::uint64_t{0});

  const Buf r_bytes{0x7F, 0x80, 0x7F, 0x3F, 0xC0, 0xBB, 0x78};
  ByteReader r(r_bytes);
  EXPECT_EQ(r.read_signed_varint_i64(), -1);
  EXPECT_EQ(r.read_signed_varint_i64(), -128);
  EXPECT_EQ(r.read_signed_varint_i64(), 63);
  EXPECT_EQ(r.read_signed_varint_i64(), -123456);
  EXPECT_TRUE(r.ok());
}

TEST(ByteReader, VarintWidthsAndShortReadsFailWithTheirTexts) {
  const Buf wide_bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
  ByteReader wide(wide_bytes);
  std::uint32_t taken = 0;
  EXPECT_EQ(wide.read_varint_u32(&taken), 0xFFFFFFFFu);  // the 35th bit is dropped
  EXPECT_EQ(taken, 5u);
  const Buf too_long_bytes{0x80, 0x80, 0x80, 0x80, 0x80, 0x01};
  ByteReader too_long(too_long_bytes);
  EXPECT_EQ(too_long.read_varint_u32(), 0u);
  EXPECT_EQ(too_long.error().message(), "failed to read leb128 integer, more than the expected 32 bits");

  const Buf short_input_bytes{0x80};
  ByteReader short_input(short_input_bytes);
  EXPECT_EQ(short_input.read_varint_u64(), 0u);
  EXPECT_EQ(short_input.error().message(), "I/O operation failed");
  EXPECT_EQ(short_input.error().note(), "unexpected end of file");
  EXPECT_EQ(short_input.read_u8(), 0u);  // sticky: later reads return zeros

  const Buf span_bytes{1, 2, 3};
  ByteReader span(span_bytes);
  EXPECT_EQ(span.read_span(2).size(), 2u);
  EXPECT_TRUE(span.read_span(2).empty());
  EXPECT_EQ(span.error().kind(), Error::Kind::Io);
}

TEST(ByteReader, NulTerminatedStrings) {
  const Buf r_bytes{'a', 'b', 0, 'c', 0};
  ByteReader r(r_bytes);
  EXPECT_EQ(r.read_c_str(8), "ab");
  EXPECT_EQ(r.read_c_str(8), "c");
  EXPECT_TRUE(r.at_end());

  const Buf unterminated_bytes{'a', 'b'};
  ByteReader unterminated(unterminated_bytes);
  EXPECT_EQ(unterminated.read_c_str(8), "");
  EXPECT_EQ(unterminated.error().message(), "I/O operation failed");

  const Buf too_long_bytes{'a', 'b', 'c', 0};
  ByteReader too_long(too_long_bytes);
  too_long.read_c_str(3);
  EXPECT_EQ(too_long.error().message(),
            "failed to read a null terminated string because it exceeds the expected size of 3 bytes.\nabc");

  const Buf bad_utf8_bytes{0xC0, 0x80, 0};
  ByteReader bad_utf8(bad_utf8_bytes);
  bad_utf8.read_c_str(8);
  EXPECT_EQ(bad_utf8.error().message(), "failed to decode string");
  EXPECT_EQ(bad_utf8.error().note(), "invalid UTF-8 in a 2-byte string");
}

}  // namespace
}  // namespace velk
