#include "formats/fst/fst_reader.h"

#include "formats/fst/decompress.h"
#include "formats/fst/header_blocks.h"
#include "formats/fst/value_changes.h"

namespace velk::fst {
namespace {

enum BlockType : std::uint8_t {
  kHeader = 0,
  kVcData = 1,
  kBlackout = 2,
  kGeometry = 3,
  kHierarchy = 4,
  kVcDataDynamicAlias = 5,
  kHierarchyLz4 = 6,
  kHierarchyLz4Duo = 7,
  kVcDataDynamicAlias2 = 8,
  kGZipWrapper = 254,
  kSkip = 255,
};

// What a block holds, for the note of an error met while reading it.
std::string block_name(std::uint8_t type) {
  switch (type) {
    case kHeader: return "the header block";
    case kVcData:
    case kVcDataDynamicAlias:
    case kVcDataDynamicAlias2: return "a value-change block";
    case kBlackout: return "the blackout block";
    case kGeometry: return "the geometry block";
    case kHierarchy:
    case kHierarchyLz4:
    case kHierarchyLz4Duo: return "the hierarchy block";
    case kGZipWrapper: return "the gzip wrapper";
    case kSkip: return "a skipped block";
    default: return "a block of type " + std::to_string(type);
  }
}

// Offsets in a gzip-wrapped file count from the start of its unwrapped
// contents: the note says so.
Error in_unwrapped(Error e) {
  constexpr const char* kWhere = "in the gzip-unwrapped contents";
  std::string detail = e.detail().empty() ? kWhere : e.detail() + " " + kWhere;
  return std::move(e.detail(std::move(detail)));
}

// Replaces the input by the unwrapped contents of a gzip-wrapped file. The
// input is positioned after the wrapper's type byte.
Status unwrap_gzip(FstInput& in) {
  const std::uint64_t section_length = in.read_u64();
  const std::uint64_t uncompressed = in.read_u64();
  if (!in.ok()) return in.status();
  if (section_length == 0) return ReaderError::of(ReaderError::Kind::NotFinishedCompressing);
  const Status header = read_gzip_header(in);
  if (!header.ok()) return header;
  auto contents = inflate_gzip_body(in, uncompressed);
  if (!contents.ok()) return contents.error();
  in = FstInput::from_bytes(std::move(contents).value());
  return Status();
}

class BlockWalk {
 public:
  BlockWalk(FstInput& in, bool want_time_table) : in_(in) {
    if (want_time_table) meta_.time_table.emplace();
  }

  Status run() {
    while (!in_.at_end()) {
      const std::uint64_t start = in_.position();
      const std::uint8_t type = in_.read_u8();
      if (!in_.ok()) return in_.status();
      Status status = block(type);
      if (!status.ok()) return std::move(status).error().at(start).reading(block_name(type));
      if (type == kSkip && skipped_to_end_) break;
    }
    return finish();
  }

  MetaData take() { return std::move(meta_); }

 private:
  Status block(std::uint8_t type) {
    if (type == kSkip) return skip_block();
    return dispatch(type);
  }

  // A skipped block ends the walk when its length is 0 (a writer that
  // reserved the block and stopped).
  Status skip_block() {
    const std::uint64_t length = in_.read_u64();
    if (!in_.ok()) return in_.status();
    if (length == 0) {
      skipped_to_end_ = true;
      return Status();
    }
    return skip_section(length);
  }

  Status dispatch(std::uint8_t type) {
    switch (type) {
      case kHeader: return header();
      case kVcData: return section(0);
      case kVcDataDynamicAlias: return section(1);
      case kVcDataDynamicAlias2: return section(2);
      case kBlackout: {
        auto blackout = read_blackout_block(in_);
        if (!blackout.ok()) return blackout.error();
        meta_.blackout = std::move(blackout).value();
        return Status();
      }
      case kGeometry: {
        auto geometry = read_geometry_block(in_);
        if (!geometry.ok()) return geometry.error();
        meta_.signals = std::move(geometry).value();
        have_geometry_ = true;
        return Status();
      }
      case kHierarchy: return hierarchy(HierarchyCompression::GZip);
      case kHierarchyLz4: return hierarchy(HierarchyCompression::Lz4);
      case kHierarchyLz4Duo: return hierarchy(HierarchyCompression::Lz4Duo);
      case kGZipWrapper: return ReaderError::malformed("GZip Wrapper should have been handled earlier!");
      default: return ReaderError::with_byte(ReaderError::Kind::BlockType, type);
    }
  }

  // Skips the rest of a section whose length field has just been read.
  Status skip_section(std::uint64_t length) {
    if (length < 8) return ReaderError::malformed("block length " + std::to_string(length) + " is below 8");
    in_.skip(length - 8);
    return in_.status();
  }

  Status header() {
    auto block = read_header_block(in_);
    if (!block.ok()) return block.error();
    meta_.header = std::move(block.value().header);
    meta_.float_endian = block.value().float_endian;
    have_header_ = true;
    return Status();
  }

  Status hierarchy(HierarchyCompression compression) {
    if (meta_.hierarchy) return ReaderError::malformed("Only a single hierarchy block is expected!");
    const std::uint64_t offset = in_.position();
    const std::uint64_t length = in_.read_u64();
    if (!in_.ok()) return in_.status();
    meta_.hierarchy = HierarchyLocation{compression, offset};
    return skip_section(length);
  }

  Status section(std::uint8_t kind) {
    const std::uint64_t offset = in_.position();
    SectionLocation s;
    s.offset = offset;
    s.kind = kind;
    s.length = in_.read_u64();
    s.start_time = in_.read_u64();
    s.end_time = in_.read_u64();
    s.memory_required = in_.read_u64();
    if (!in_.ok()) return in_.status();
    if (s.length < 32) return ReaderError::malformed("value-change section shorter than its fields");
    if (s.length > in_.size() - offset) return ReaderError::io("block length past the end of the file");
    update_header_times(s);
    if (meta_.time_table) {
      const Status status = append_times(s);
      if (!status.ok()) return status;
    }
    meta_.sections.push_back(s);
    in_.seek(offset + s.length);
    return in_.status();
  }

  // A writer that never finished its header leaves both times 0: the sections
  // then say which stretch of time the file covers.
  void update_header_times(const SectionLocation& s) {
    if (meta_.sections.empty() && meta_.header.start_time == 0 && meta_.header.end_time == 0) {
      times_from_sections_ = true;
      meta_.header.start_time = s.start_time;
    }
    if (times_from_sections_) meta_.header.end_time = s.end_time;
  }

  Status append_times(const SectionLocation& s) {
    auto table = read_time_table(in_, s.offset, s.length);
    if (!table.ok()) return table.error();
    const auto& times = table.value().times;
    auto& all = *meta_.time_table;
    if (all.empty()) {
      if (times.empty()) return ReaderError::malformed("the first value-change section has no time entries");
      if (s.start_time < times.front()) all.push_back(s.start_time);
    }
    all.insert(all.end(), times.begin(), times.end());
    return Status();
  }

  Status finish() {
    if (!have_geometry_) return ReaderError::of(ReaderError::Kind::MissingGeometry);
    if (!meta_.hierarchy) return ReaderError::of(ReaderError::Kind::MissingHierarchy);
    if (!have_header_) return ReaderError::malformed("The FST file is incomplete: header block is missing.");
    return Status();
  }

  FstInput& in_;
  MetaData meta_;
  bool have_header_ = false;
  bool have_geometry_ = false;
  bool times_from_sections_ = false;
  bool skipped_to_end_ = false;
};

}  // namespace

Expected<FstReader> FstReader::open(FstInput input, bool read_time_table) {
  const std::uint8_t first = input.read_u8();
  if (!input.ok()) return Error(input.error()).reading("the first block type");
  const bool wrapped = first == kGZipWrapper;
  if (wrapped) {
    Status unwrapped = unwrap_gzip(input);
    if (!unwrapped.ok()) return std::move(unwrapped).error().at(0).reading("the gzip wrapper");
  } else if (first > kVcDataDynamicAlias2 && first != kSkip) {
    return ReaderError::with_byte(ReaderError::Kind::BlockType, first).at(0).reading("the first block type");
  } else {
    input.seek(0);
  }
  BlockWalk walk(input, read_time_table);
  Status walked = walk.run();
  if (!walked.ok()) return wrapped ? in_unwrapped(std::move(walked).error()) : std::move(walked).error();
  input.seek(0);
  return FstReader(std::move(input), walk.take(), wrapped);
}

Status FstReader::read_hierarchy(const HierarchyCallback& callback) {
  if (!meta_.hierarchy) return ReaderError::of(ReaderError::Kind::MissingHierarchy);
  Status status = decode_hierarchy(callback);
  if (status.ok()) return status;
  // The block starts at its type byte, just before the length field.
  return placed(std::move(status).error().at(meta_.hierarchy->offset - 1).reading("the hierarchy block"));
}

Error FstReader::placed(Error e) const { return unwrapped_ ? in_unwrapped(std::move(e)) : std::move(e); }

Status FstReader::decode_hierarchy(const HierarchyCallback& callback) {
  auto bytes = read_hierarchy_bytes(input_, *meta_.hierarchy);
  if (!bytes.ok()) return bytes.error();
  ByteReader reader(bytes.value());
  std::uint32_t handle_counter = 0;
  for (;;) {
    auto entry = read_hierarchy_entry(reader, handle_counter);
    if (!entry.ok()) {
      // A position inside the decompressed bytes is not a file offset.
      return std::move(entry).error().reading("the hierarchy block (byte " + std::to_string(reader.position()) +
                                              " of its decompressed contents)");
    }
    if (!entry.value()) return Status();
    callback(*entry.value());
  }
}

}  // namespace velk::fst
