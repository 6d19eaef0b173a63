// What the readers of the closed formats (FSDB, SHM, WLF, VPD) share: they
// find names by scanning binary data for identifier-like strings, and report
// files too short or of the wrong kind the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "io/byte_view.h"
#include "io/error.h"
#include "model/loaded_trace.h"

namespace velk {

// Letters, digits and the identifier tests shared by the scanners.
constexpr bool is_ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_ident_start(char c) { return is_ascii_alpha(c) || c == '_'; }

// A letter or '_' first, then only letters, digits and the bytes of `extra`.
bool is_identifier_of(std::string_view s, std::string_view extra);

// Every '.'-separated part (a leading or trailing empty part included) is
// non-empty and begins with an ASCII letter or '_'.
bool dotted_parts_ok(std::string_view s);

// Candidate signal names of the permissive kind (VPD, WLF): the
// NUL-terminated strings of at least two bytes that start with a letter or
// '_', hold none of "/{(@" and whose dotted parts all start like
// identifiers. In order of appearance, duplicates kept. There is deliberately
// no character-class test beyond these: tool-generated names carry spaces,
// brackets and operators.
std::vector<std::string> extract_identifiers(Bytes bytes);

// Reads the whole file at `path` and returns what `parse(bytes)` makes of
// it; a file that cannot be read fails with "Failed to read {path}: {reason}".
Expected<LoadedTrace> parse_file(const std::string& path, Expected<LoadedTrace> (*parse)(Bytes));

// "{message}" for a file of `size` bytes that ends before `what` does; the
// note says "unexpected end of file at byte {size} reading {what}".
Error too_small_error(std::string message, std::uint64_t size, std::string what);
// "{message}" for a magic number that names another kind of file; the note
// points at the magic number's offset.
Error bad_magic_error(std::string message, std::uint64_t offset);

}  // namespace velk
