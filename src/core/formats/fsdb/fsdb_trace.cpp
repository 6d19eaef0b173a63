#include "formats/fsdb/fsdb_trace.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <set>
#include <stdexcept>
#include <string_view>

#include "formats/scan/scan.h"
#include "io/string_scan.h"
#include "io/text.h"
#include "formats/fsdb/fsdb_internal.h"
#include "model/derived_scopes.h"

namespace velk {
namespace fsdb {
namespace {

constexpr std::size_t kMinFileSize = 12;
constexpr std::uint64_t kMagicOffset = 4;
constexpr std::size_t kLegacyHeaderSize = 272;

// Paths and tool artefacts that show up as strings next to the real names.
bool mentions_tool_file(std::string_view s) {
  for (const std::string_view bad : {".log", ".tcl", ".fsdb", "simv", "csrc", "daidir"}) {
    if (s.find(bad) != std::string_view::npos) return true;
  }
  return false;
}

// The character set excludes every punctuation mark and the space that the
// format uses around names, so only hex literals and tool paths need their
// own test.
bool is_identifier(std::string_view s) {
  if (!is_identifier_of(s, kNameExtraChars)) return false;
  if (mentions_tool_file(s)) return false;
  return dotted_parts_ok(s);
}

// First occurrence wins: it fixes the name's id and its place in the list.
void accept_names(LoadedTrace& trace, const std::vector<std::string>& names) {
  for (const std::string& name : names) (void)trace.add_signal(name, 1);
}

struct NameSources {
  std::vector<Bytes> large;
  std::vector<Bytes> eight_c;
  std::vector<Bytes> small;
};

// Sorts the scanned blocks that are not table blocks into name sources and
// extra data blocks.
NameSources classify_scanned(const std::vector<ScannedBlock>& scanned, const HeaderTables& tables,
                             std::vector<std::vector<std::uint8_t>>& data_blocks) {
  std::set<std::uint64_t> table_offsets;
  for (const TableEntry& e : tables.entries) table_offsets.insert(e.offset);
  NameSources sources;
  for (const ScannedBlock& block : scanned) {
    if (table_offsets.contains(block.offset)) continue;
    const Bytes b(block.bytes);
    switch (classify_block(b)) {
      case BlockKind::Drop:
        break;
      case BlockKind::LargeNames:
        sources.large.push_back(b);
        break;
      case BlockKind::SmallNames:
        sources.small.push_back(b);
        break;
      case BlockKind::NamesAndData:
        sources.eight_c.push_back(b);
        data_blocks.push_back(block.bytes);
        break;
      case BlockKind::DataCandidate:
        // With a block table the table already names the data blocks.
        if (tables.entries.empty()) data_blocks.push_back(block.bytes);
        break;
    }
  }
  return sources;
}

void accept_source_names(LoadedTrace& trace, const NameSources& sources) {
  for (const auto* group : {&sources.large, &sources.eight_c, &sources.small}) {
    for (const Bytes b : *group) accept_names(trace, extract_identifiers(b));
  }
}

void apply_widths(LoadedTrace& trace, const std::vector<std::uint32_t>& widths) {
  for (std::size_t k = 0; k < widths.size() && k < trace.signals.size(); ++k) trace.signals.at(k).width = widths[k];
}

// Limits on what a file of `file_size` bytes may make the reader build:
// events decoded and dense store slots. Both grow linearly with the file
// above a small floor: a real dump spends at least two bytes on every value
// change before compression (a time step and a value), so 8 events per
// stored byte (and 64 store slots, the names times the timestamps) leave
// real files untouched unless zlib gains more than 16x on their value
// blocks, while a crafted file whose few bytes multiply (offset records
// repeating every timed pair, clock trailers, blocks inflated from zlib
// bombs) is cut down to the same linear bound. Each event may open a
// timestamp, and the grid costs a few tree operations per event: at 16 per
// byte a 3.7 KB file built 59,000 timestamps (1.7 s under the sanitizers).
// The event floor, 4 Ki, is what 512 bytes earn: a file of a few hundred
// bytes cannot spread its values over tens of thousands of timestamps, as
// it could under a floor of 64 Ki.
constexpr std::size_t kMinEvents = std::size_t{1} << 12;
constexpr std::size_t kEventsPerFileByte = 8;
constexpr std::size_t kMinCells = std::size_t{1} << 20;
constexpr std::size_t kCellsPerFileByte = 64;
std::size_t event_budget(std::size_t file_size) { return std::max(kMinEvents, file_size * kEventsPerFileByte); }
std::size_t cell_budget(std::size_t file_size) { return std::max(kMinCells, file_size * kCellsPerFileByte); }

void decode_values(LoadedTrace& trace, const std::vector<std::vector<std::uint8_t>>& data_blocks,
                   std::size_t file_size) {
  const std::size_t n = trace.signals.size();
  std::size_t events_left = event_budget(file_size);
  ValueGrid grid;
  for (const auto& block : data_blocks) {
    const auto events = decode_data_block(block, n, events_left);
    if (!events) continue;
    if (grid.cells_after(*events, n) > cell_budget(file_size)) continue;  // skip, like any unusable block
    events_left -= events->size();
    grid.apply_block(*events, n);
  }
  grid.store_into(trace);
}

std::string magic_error(std::uint32_t magic) { return "Not an FSDB file (magic=0x" + hex8(magic) + ")"; }

}  // namespace

std::vector<std::string> extract_identifiers(Bytes bytes) {
  return collect_nul_strings(bytes, [](std::string_view s) { return is_identifier(s); });
}

LoadedTrace parse_legacy(Bytes data) {
  LoadedTrace trace;
  accept_names(trace, extract_identifiers(data.subspan(std::min(data.size(), kLegacyHeaderSize))));
  list_derived_scopes(trace);
  trace.timestamps = {0};
  return trace;
}

Expected<LoadedTrace> parse_modern(Bytes data) {
  const HeaderTables tables = read_header_tables(data);
  const std::vector<ScannedBlock> scanned = scan_zlib_blocks(data);
  std::vector<std::vector<std::uint8_t>> data_blocks = inflate_table_blocks(data, tables.entries);
  const NameSources sources = classify_scanned(scanned, tables, data_blocks);

  LoadedTrace trace;
  accept_source_names(trace, sources);
  if (trace.signals.names().empty()) accept_names(trace, tail_fallback_names(data));
  if (const auto widths = read_width_table(data, tables.width_offset, trace.signals.size())) {
    apply_widths(trace, *widths);
  }
  decode_values(trace, data_blocks, data.size());
  list_derived_scopes(trace);
  return trace;
}

}  // namespace fsdb

namespace {

Expected<LoadedTrace> parse(Bytes data) {
  if (data.size() < fsdb::kMinFileSize) return too_small_error("FSDB file too small", data.size(), "the header");
  const std::uint32_t magic = *read_u32_be(data, fsdb::kMagicOffset);
  if (magic == fsdb::kLegacyMagic) return fsdb::parse_legacy(data);
  if (magic == fsdb::kModernMagic) return fsdb::parse_modern(data);
  return bad_magic_error(fsdb::magic_error(magic), fsdb::kMagicOffset);
}

}  // namespace

Expected<LoadedTrace> FsdbTrace::from_file(const std::string& path) {
  try {
    return parse_file(path, parse);
  } catch (const std::length_error&) {
    // A container asked to outgrow its maximum size is out of memory too.
    throw std::bad_alloc();
  }
}

}  // namespace velk
