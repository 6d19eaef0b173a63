#include "formats/scan/scan.h"

#include <algorithm>

#include "io/file_bytes.h"
#include "io/string_scan.h"

namespace velk {

bool is_identifier_of(std::string_view s, std::string_view extra) {
  if (s.empty() || !is_ident_start(s.front())) return false;
  return std::all_of(s.begin() + 1, s.end(), [extra](char c) {
    return is_ascii_alpha(c) || is_ascii_digit(c) || extra.find(c) != std::string_view::npos;
  });
}

bool dotted_parts_ok(std::string_view s) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = s.find('.', start);
    const std::string_view part = s.substr(start, dot == std::string_view::npos ? s.npos : dot - start);
    if (part.empty() || !is_ident_start(part.front())) return false;
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

namespace {

bool is_loose_identifier(std::string_view s) {
  if (s.size() < 2 || !is_ident_start(s.front())) return false;
  // A leading "0x" is already excluded by the letter-or-underscore start.
  if (s.find_first_of("/{(@") != std::string_view::npos) return false;
  return dotted_parts_ok(s);
}

}  // namespace

std::vector<std::string> extract_identifiers(Bytes bytes) {
  return collect_nul_strings(bytes, [](std::string_view s) { return is_loose_identifier(s); });
}

Expected<LoadedTrace> parse_file(const std::string& path, Expected<LoadedTrace> (*parse)(Bytes)) {
  auto bytes = read_file_bytes(path);
  if (!bytes) return std::move(bytes).error();
  return parse(bytes.value());
}

Error too_small_error(std::string message, std::uint64_t size, std::string what) {
  return Error::format(std::move(message)).detail("unexpected end of file").at(size).reading(std::move(what));
}

Error bad_magic_error(std::string message, std::uint64_t offset) {
  return Error::format(std::move(message)).at(offset).reading("the magic number");
}

}  // namespace velk
