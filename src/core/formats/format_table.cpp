#include "formats/format_table.h"

#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "formats/fsdb/fsdb_trace.h"
#include "formats/fst/fst_trace.h"
#include "formats/shm/shm_trace.h"
#include "formats/vcd/vcd_trace.h"
#include "formats/vpd/vpd_trace.h"
#include "formats/wlf/wlf_trace.h"
#include "io/file_bytes.h"

namespace velk {
namespace {

// --- loaders -----------------------------------------------------------------

template <class Loaded>
Expected<std::shared_ptr<const Trace>> shared(Expected<Loaded> result) {
  if (!result) return Error{result.error()};
  return std::shared_ptr<const Trace>(std::make_shared<const Loaded>(std::move(result).value()));
}

template <auto from_file>
Expected<std::shared_ptr<const Trace>> load_with(const std::string& path) {
  return shared(from_file(path));
}

// --- recognisers ---------------------------------------------------------------

Bytes head_of(const FileProbe& probe) { return Bytes(probe.head); }

bool starts_with_bytes(Bytes data, std::initializer_list<std::uint8_t> prefix) {
  return data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), data.begin());
}

// The VCD keywords a dump may begin with.
constexpr std::array<std::string_view, 13> kVcdKeywords = {
    "$date",    "$version", "$timescale", "$scope",   "$var",      "$comment", "$enddefinitions",
    "$upscope", "$dumpvars", "$dumpall",  "$dumpon", "$dumpoff", "$end"};

bool is_space(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// VCD text: after optional white space (and a UTF-8 byte-order mark), a VCD
// keyword or a "#<digits>" time line.
bool looks_like_vcd_text(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  while (!text.empty() && is_space(static_cast<std::uint8_t>(text.front()))) text.remove_prefix(1);
  if (text.size() >= 2 && text[0] == '#') return text[1] >= '0' && text[1] <= '9';
  for (const std::string_view keyword : kVcdKeywords) {
    if (!text.starts_with(keyword)) continue;
    if (text.size() == keyword.size() || is_space(static_cast<std::uint8_t>(text[keyword.size()]))) return true;
  }
  return false;
}

std::string_view as_chars(Bytes bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool is_vcd(const FileProbe& probe) { return !probe.is_directory && looks_like_vcd_text(as_chars(head_of(probe))); }

bool is_gzip(Bytes data) { return starts_with_bytes(data, {0x1F, 0x8B}); }

// The start of a gzip member's decompressed content, as far as the probe's
// bytes reach (at most `limit` bytes).
std::vector<std::uint8_t> gunzip_prefix(Bytes data, std::size_t limit) {
  std::vector<std::uint8_t> out(limit);
  z_stream zs{};
  if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return {};
  zs.next_in = const_cast<Bytef*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&zs, Z_SYNC_FLUSH);
  const std::size_t produced = out.size() - zs.avail_out;
  inflateEnd(&zs);
  if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return {};
  out.resize(produced);
  return out;
}

bool is_vcd_gz(const FileProbe& probe) {
  if (probe.is_directory || !is_gzip(head_of(probe))) return false;
  return looks_like_vcd_text(as_chars(gunzip_prefix(head_of(probe), 4096)));
}

// FST: a header block first (type 0, section length 329), or the whole file
// in a gzip wrapper block (type 254) whose member starts after two u64 fields.
bool is_fst(const FileProbe& probe) {
  const Bytes head = head_of(probe);
  if (probe.is_directory || head.empty()) return false;
  if (head[0] == 0) return read_u64_be(head, 1) == std::uint64_t{329};
  return head[0] == 254 && is_gzip(clamp_sub(head, 17, 2));
}

bool is_fsdb(const FileProbe& probe) {
  const auto magic = read_u32_be(head_of(probe), 4);
  return !probe.is_directory && (magic == fsdb::kLegacyMagic || magic == fsdb::kModernMagic);
}

// A directory holding a design or transition file, or one of those files.
bool is_shm(const FileProbe& probe) {
  if (probe.is_directory) return bool(shm::locate_files(probe.path));
  return read_u32_be(head_of(probe), 0) == shm::kMagic;
}

bool is_vpd(const FileProbe& probe) { return !probe.is_directory && read_u32_le(head_of(probe), 0) == vpd::kMagic; }

// WLF has no magic number: a file of whole pages whose page 0 holds the
// three length-prefixed header strings from offset 40 and a name-area end
// past them.
bool is_wlf(const FileProbe& probe) {
  const Bytes head = head_of(probe);
  if (probe.is_directory || head.size() < wlf::kPageSize) return false;
  std::size_t cursor = 40;
  for (int i = 0; i < 3; ++i) {
    if (wlf::read_lpstr(head, cursor).empty()) return false;
  }
  const auto area_end = read_u16_be(head, 2);
  return area_end && *area_end >= cursor;
}

constexpr DumpFormat kFormats[] = {
    {"fst", "FST (GTKWave's compressed format)", is_fst, load_with<FstTrace::from_file>},
    {"fsdb", "FSDB (Verdi)", is_fsdb, load_with<FsdbTrace::from_file>},
    {"shm", "SHM database (Xcelium), a directory or its .dsn/.trn file", is_shm, load_with<ShmTrace::from_file>},
    {"vpd", "VPD (VCS)", is_vpd, load_with<VpdTrace::from_file>},
    {"vcd.gz", "gzip-compressed VCD text", is_vcd_gz, load_with<VcdTrace::from_gzip_file>},
    {"vcd", "VCD text (IEEE 1364)", is_vcd, load_with<VcdTrace::from_file>},
    {"wlf", "WLF (Questa/ModelSim)", is_wlf, load_with<WlfTrace::from_file>},
};

}  // namespace

std::span<const DumpFormat> dump_formats() { return kFormats; }

const DumpFormat* find_dump_format(std::string_view name) {
  for (const DumpFormat& format : kFormats) {
    if (format.name == name) return &format;
  }
  return nullptr;
}

const DumpFormat* detect_dump_format(const FileProbe& probe) {
  for (const DumpFormat& format : kFormats) {
    if (format.recognises(probe)) return &format;
  }
  return nullptr;
}

Expected<FileProbe> probe_path(const std::string& path) {
  const std::string wording = "Failed to read " + path + ": ";
  FileProbe probe;
  probe.path = path;
  // A directory is a database of files (SHM), not a failure to open one.
  struct stat st {};
  if (!invalid_path_reason(path) && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    probe.is_directory = true;
    return probe;
  }
  auto file = open_input_file(path);
  if (!file) return std::move(file).error().prefixed(wording);
  auto head = read_up_to(file.value(), kProbeBytes);
  if (!head) return std::move(head).error().prefixed(wording);
  probe.size = file.value().size();
  probe.head = std::move(head).value();
  return probe;
}

}  // namespace velk
