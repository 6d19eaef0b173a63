#include "formats/vpd/vpd_trace.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "formats/scan/scan.h"
#include "model/derived_scopes.h"
#include "io/string_scan.h"
#include "io/text.h"

namespace velk {
namespace vpd {
namespace {

constexpr std::size_t kHeaderSize = 128;
constexpr std::size_t kSlotBase = 48;
constexpr std::size_t kSlotCount = 20;
// Only the head of a section is inspected to decide whether it holds names.
constexpr std::size_t kWindowSize = 128;
constexpr std::size_t kMinWindowString = 3;
constexpr std::size_t kMinIdentifiersForNames = 4;

// Printable NUL-terminated strings of at least three bytes in the section
// head; unlike the identifier scan, a space may start one.
bool has_marker_string(Bytes window) {
  bool found = false;
  for_each_nul_string(
      window,
      [&](std::string_view s) {
        if (s.size() < kMinWindowString) return;
        if (s.find("FoldedTop") != s.npos || s.find("WithMask") != s.npos) found = true;
      },
      StringStart::Printable);
  return found;
}

bool section_holds_names(Bytes section) {
  const Bytes window = section.first(std::min(section.size(), kWindowSize));
  return has_marker_string(window) || extract_identifiers(window).size() >= kMinIdentifiersForNames;
}

// Header slots that point strictly inside the file past the header, sorted,
// without duplicates.
std::vector<std::size_t> section_offsets(Bytes data) {
  std::vector<std::size_t> offsets;
  for (std::size_t k = 0; k < kSlotCount; ++k) {
    const auto v = read_u32_le(data, kSlotBase + 4 * k);
    if (v && *v > kHeaderSize && *v < data.size()) offsets.push_back(*v);
  }
  std::sort(offsets.begin(), offsets.end());
  offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
  return offsets;
}

}  // namespace

Expected<LoadedTrace> parse(Bytes data) {
  if (data.size() < kHeaderSize) return too_small_error("VPD file too small", data.size(), "the header");
  const std::uint32_t magic = *read_u32_le(data, 0);
  if (magic != kMagic) return bad_magic_error("Not a VPD file (magic=0x" + hex8(magic) + ")", 0);

  LoadedTrace trace;
  const auto offsets = section_offsets(data);
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    const std::size_t end = i + 1 < offsets.size() ? offsets[i + 1] : data.size();
    const Bytes section = data.subspan(offsets[i], end - offsets[i]);
    if (!section_holds_names(section)) continue;
    for (auto& name : extract_identifiers(section)) trace.add_signal(std::move(name), 1);
  }
  list_derived_scopes(trace);
  trace.timestamps = {0};
  return trace;
}

}  // namespace vpd

Expected<LoadedTrace> VpdTrace::from_file(const std::string& path) { return parse_file(path, vpd::parse); }

}  // namespace velk
