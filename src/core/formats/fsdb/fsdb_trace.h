// FSDB reader: recognises two generations of the closed FSDB format by their
// magic number and recovers names (both generations) and timestamps, widths
// and byte-sized values (newer generation) by scanning for fixed patterns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io/byte_view.h"
#include "io/error.h"
#include "model/loaded_trace.h"

namespace velk {

class FsdbTrace {
 public:
  // Errors: "Failed to read {path}: {reason}", "FSDB file too small",
  // "Not an FSDB file (magic=0x{8 upper-case hex digits})". Nothing inside a
  // file with a known magic is an error.
  static Expected<LoadedTrace> from_file(const std::string& path);
};

namespace fsdb {

// Bytes 4..7 of an older- and a newer-generation file, read big-endian.
inline constexpr std::uint32_t kLegacyMagic = 0xFDE099C1;
inline constexpr std::uint32_t kModernMagic = 0x1C3ED948;

// Candidate signal names: NUL-terminated printable runs that look like dotted
// identifiers, in order of appearance, duplicates kept.
std::vector<std::string> extract_identifiers(Bytes bytes);

struct Inflated {
  std::vector<std::uint8_t> bytes;
  std::size_t consumed = 0;  // input bytes the decoder took, header included
};

// One sync-flush inflate of a zlib stream at the start of `bytes` into a 1 MiB
// buffer (4 MiB when zlib reports a buffer error). Nothing when the stream
// does not inflate or yields no output; output past the buffer is dropped.
std::optional<Inflated> try_zlib_decompress(Bytes bytes);

// Names only: the whole older-generation file after its 272-byte header.
LoadedTrace parse_legacy(Bytes data);

// Names, widths, timestamps and values of a newer-generation file.
Expected<LoadedTrace> parse_modern(Bytes data);

}  // namespace fsdb
}  // namespace velk
