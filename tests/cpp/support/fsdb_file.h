// Hand-built FSDB files of the modern and legacy layouts: data blocks in
// the 8C form, name blocks, and a file builder with scanned zlib streams, a
// block table and a width table. Shared by the reader tests and the fuzz seeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "formats/fsdb/fsdb_internal.h"
#include "support/bytes.h"

namespace velk::testing {

inline constexpr std::size_t kFsdbHeaderSize = 400;  // past the 384 bytes the table gate needs

inline const ByteVec kFsdbHeaderMark = {0x38, 0x43, 0x00, 0x04, 0x00, 0x08};
inline const ByteVec kFsdbCodeMark = {0x44, 0x00, 0x63, 0x00, 0x03, 0x08};
inline const ByteVec kFsdbEndMark = {0xC1, 0x21, 0x00, 0x00};
inline const ByteVec kFsdbCodeEnd = {0x00, 0x00, 0x00};

// A data block in the 8C form: header numbers, the header mark, the value
// region and, when given, the code mark and code list.
inline ByteVec fsdb_data_block(std::initializer_list<std::uint64_t> numbers, const ByteVec& region,
                std::optional<ByteVec> codes = std::nullopt) {
  ByteVec out;
  for (const auto v : numbers) {
    const ByteVec n = uleb128(v);
    out.insert(out.end(), n.begin(), n.end());
  }
  out = cat({out, kFsdbHeaderMark, region});
  if (codes) out = cat({out, kFsdbCodeMark, *codes});
  return out;
}

// A name block: the names, padded with strings the name filter rejects until
// the block holds `min_strings` strings.
inline ByteVec fsdb_name_block(const std::vector<std::string>& names, std::size_t min_strings = 11) {
  ByteVec out;
  for (const auto& n : names) out = cat({out, nul_strings({n})});
  for (std::size_t i = names.size(); i < min_strings; ++i) out = cat({out, nul_strings({"-pad" + std::to_string(i)})});
  return out;
}

class FsdbFile {
 public:
  explicit FsdbFile(std::uint32_t magic = fsdb::kModernMagic) : bytes_(kFsdbHeaderSize, 0) {
    for (int i = 0; i < 4; ++i) bytes_[4 + i] = static_cast<std::uint8_t>(magic >> (24 - 8 * i));
  }

  std::size_t append(const ByteVec& raw) {
    const std::size_t at = bytes_.size();
    bytes_.insert(bytes_.end(), raw.begin(), raw.end());
    return at;
  }
  // A zlib stream the scan finds on its own.
  FsdbFile& stream(const ByteVec& raw) {
    append(zlib_compress(raw));
    return *this;
  }
  // A zlib stream listed in the block table.
  FsdbFile& table_block(const ByteVec& raw) {
    const ByteVec z = zlib_compress(raw);
    table_.push_back({static_cast<std::uint32_t>(append(z)), static_cast<std::uint32_t>(z.size())});
    return *this;
  }
  FsdbFile& table_entry(std::uint32_t offset, std::uint32_t size) {
    table_.push_back({offset, size});
    return *this;
  }
  FsdbFile& widths(const ByteVec& records) {
    width_records_ = records;
    return *this;
  }
  FsdbFile& gate(std::uint32_t v) {
    put_le32(bytes_, 40, v);
    return *this;
  }

  ByteVec build() const {
    ByteVec out = bytes_;
    if (!table_.empty()) {
      const std::size_t t = out.size();
      out.resize(t + 24 + 12 * table_.size(), 0);
      out[t + 22] = static_cast<std::uint8_t>(table_.size());
      out[t + 23] = static_cast<std::uint8_t>(table_.size() >> 8);
      for (std::size_t i = 0; i < table_.size(); ++i) {
        put_le32(out, t + 24 + 12 * i, table_[i].offset);
        put_le32(out, t + 32 + 12 * i, table_[i].size);
      }
      put_le32(out, 264, static_cast<std::uint32_t>(t));
    }
    if (width_records_) {
      const ByteVec z = zlib_compress(*width_records_);
      const std::size_t w = out.size();
      out.resize(w + 4);
      put_le32(out, w, static_cast<std::uint32_t>(z.size()));
      out.insert(out.end(), z.begin(), z.end());
      out.resize(out.size() + 8, 0);  // the width table never ends the file
      put_le32(out, 272, static_cast<std::uint32_t>(w));
    }
    return out;
  }

 private:
  ByteVec bytes_;
  std::vector<fsdb::TableEntry> table_;
  std::optional<ByteVec> width_records_;
};

}  // namespace velk::testing
