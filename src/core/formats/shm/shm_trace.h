#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io/byte_view.h"
#include "io/error.h"
#include "model/loaded_trace.h"

namespace velk {

// Reader for SHM databases: a design file (.dsn) walked as a chain of tagged
// records for signal and scope names, and transition files (.trn) searched for
// value blocks from which 1-bit initial values and changes are decoded.
// Accepts a directory, a .dsn, a .trn or any other file.
class ShmTrace {
 public:
  // Errors: "No .dsn/.trn in {path}", "DSN: {reason}", "Bad DSN magic: 0x{8 hex}".
  static Expected<LoadedTrace> from_file(const std::string& path);
};

namespace shm {

// First four bytes of both file kinds.
inline constexpr std::uint32_t kMagic = 0xA19511BF;

// The files that make up one database.
struct Files {
  std::optional<std::string> design;
  std::vector<std::string> transitions;  // sorted by path text
};

// Finds the design and transition files for `path` (a directory, a .dsn, a
// .trn or another file). Fails only for a directory without either kind.
Expected<Files> locate_files(const std::string& path);

// The strings of data[start, min(end, size)): each starts at a printable byte,
// runs to a NUL or the end of the range, and must be valid UTF-8.
std::vector<std::string> extract_strings(Bytes data, std::uint64_t start, std::uint64_t end);

// The identifier test for signal names: a letter or '_' first, then letters,
// digits and "$().[]_".
bool is_ident(std::string_view text);

// Reads the names and scopes of a design file into a fresh trace whose
// timestamps are [0]. A file shorter than 128 bytes contributes nothing.
Expected<LoadedTrace> parse_design(Bytes data);

// Decodes one transition file into `trace`: its times are merged into the
// trace's timestamps (values already stored keep their times) and its events
// are stored and forward-filled. Files that are too short, carry a wrong
// magic, or arrive while the trace has no names are ignored.
void decode_transitions(Bytes data, LoadedTrace& trace);

}  // namespace shm
}  // namespace velk
