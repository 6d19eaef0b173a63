#include "formats/fst/header_blocks.h"

#include <bit>
#include <cstring>

#include "io/byte_reader.h"
#include "formats/fst/decompress.h"

namespace velk::fst {
namespace {

constexpr double kEndianTest = 2.718281828459045;

std::optional<FloatEndian> float_endian_of(const std::uint8_t (&bytes)[8]) {
  std::uint64_t little = 0;
  std::uint64_t big = 0;
  for (int i = 0; i < 8; ++i) {
    little |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
    big = (big << 8) | bytes[i];
  }
  if (std::bit_cast<double>(little) == kEndianTest) return FloatEndian::Little;
  if (std::bit_cast<double>(big) == kEndianTest) return FloatEndian::Big;
  return std::nullopt;
}

}  // namespace

Expected<HeaderBlock> read_header_block(FstInput& in) {
  const std::uint64_t section_length = in.read_u64();
  if (!in.ok()) return in.error();
  if (section_length != kHeaderSectionLength) {
    return ReaderError::malformed("header block has length " + std::to_string(section_length) + ", expected 329");
  }
  HeaderBlock block{};
  Header& h = block.header;
  h.start_time = in.read_u64();
  h.end_time = in.read_u64();
  std::uint8_t endian_test[8] = {};
  in.read_into(endian_test);
  h.memory_used_by_writer = in.read_u64();
  h.scope_count = in.read_u64();
  h.var_count = in.read_u64();
  h.max_var_id_code = in.read_u64();
  h.vc_section_count = in.read_u64();
  h.timescale_exponent = in.read_i8();
  h.version = in.read_fixed_string(128);
  h.date = in.read_fixed_string(119);
  const std::uint8_t file_type = in.read_u8();
  h.time_zero = static_cast<std::int64_t>(in.read_u64());
  if (!in.ok()) return in.error();
  if (file_type > 2) return ReaderError::with_byte(ReaderError::Kind::FileType, file_type);
  h.file_type = static_cast<FileType>(file_type);
  const auto endian = float_endian_of(endian_test);
  if (!endian) return ReaderError::malformed("header endianness test matches neither byte order");
  block.float_endian = *endian;
  return block;
}

Expected<std::vector<SignalInfo>> read_geometry_block(FstInput& in) {
  const std::uint64_t section_length = in.read_u64();
  const std::uint64_t uncompressed = in.read_u64();
  const std::uint64_t count = in.read_u64();
  if (!in.ok()) return in.error();
  if (section_length < 24) return ReaderError::malformed("geometry block shorter than its fields");
  // Every signal takes at least one byte of the body.
  if (count > uncompressed) return ReaderError::malformed("geometry claims more signals than its body holds");
  auto body = read_zlib_compressed_bytes(in, uncompressed, section_length - 24, true);
  if (!body.ok()) return body.error();
  ByteReader reader(body.value());
  std::vector<SignalInfo> signals;
  signals.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count && reader.ok(); ++i) {
    signals.push_back(SignalInfo::from_file_format(reader.read_varint_u32()));
  }
  if (!reader.ok()) return reader.error();
  return signals;
}

Expected<std::vector<BlackoutEntry>> read_blackout_block(FstInput& in) {
  const std::uint64_t start = in.position();
  const std::uint64_t section_length = in.read_u64();
  const std::uint32_t count = in.read_varint_u32();
  if (!in.ok()) return in.error();
  if (section_length > in.size() - start) return ReaderError::io();
  std::vector<BlackoutEntry> entries;
  // Every entry takes at least two bytes of the section.
  entries.reserve(std::min<std::uint64_t>(count, section_length / 2));
  std::uint64_t time = 0;
  for (std::uint32_t i = 0; i < count && in.ok(); ++i) {
    const bool on = in.read_u8() != 0;
    time += in.read_varint_u64();
    entries.push_back({time, on});
  }
  if (!in.ok()) return in.error();
  if (in.position() != start + section_length) {
    return ReaderError::malformed("blackout entries do not end at the end of their block");
  }
  return entries;
}

}  // namespace velk::fst
