#include "formats/fst/hierarchy.h"

#include "formats/fst/decompress.h"

namespace velk::fst {
namespace {

constexpr std::uint8_t kTagAttributeBegin = 252;
constexpr std::uint8_t kTagAttributeEnd = 253;
constexpr std::uint8_t kTagScope = 254;
constexpr std::uint8_t kTagUpScope = 255;
constexpr std::uint8_t kMaxVarType = 29;
constexpr std::uint8_t kMaxDirection = 5;

bool is_scope_type(std::uint8_t t) { return t <= 22 || t >= 252; }

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::vector<std::string_view> split_whitespace(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_space(text[i])) ++i;
    const std::size_t start = i;
    while (i < text.size() && !is_space(text[i])) ++i;
    if (i > start) parts.push_back(text.substr(start, i - start));
  }
  return parts;
}

std::optional<std::uint32_t> parse_u32(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<std::uint32_t>(v);
}

Expected<FstHierarchyEntry> read_variable(ByteReader& r, std::uint8_t var_type, std::uint32_t& handle_counter) {
  const std::uint8_t direction = r.read_u8();
  if (!r.ok()) return r.error();
  if (direction > kMaxDirection) return ReaderError::with_byte(ReaderError::Kind::FstVarDirection, direction);
  const std::string_view name = r.read_c_str(kMaxNameLength);
  const std::uint32_t stored_length = r.read_varint_u32();
  const std::uint32_t alias = r.read_varint_u32();
  if (!r.ok()) return r.error();
  // Ports store 3 * width + 2.
  const std::uint32_t length = var_type == kVarTypePort ? (stored_length - 2u) / 3u : stored_length;
  if (alias != 0) return VarEntry{var_type, direction, std::string(name), length, FstSignalHandle{alias}, true};
  if (handle_counter == 0xFFFFFFFFu) return ReaderError::malformed("more variables than signal handles");
  ++handle_counter;
  return VarEntry{var_type, direction, std::string(name), length, FstSignalHandle{handle_counter}, false};
}

Expected<FstHierarchyEntry> read_scope(ByteReader& r) {
  const std::uint8_t scope_type = r.read_u8();
  if (!r.ok()) return r.error();
  if (!is_scope_type(scope_type)) return ReaderError::with_byte(ReaderError::Kind::FstScopeType, scope_type);
  const std::string_view name = r.read_c_str(kMaxNameLength);
  std::string owned_name(name);
  const std::string_view component = r.read_c_str(kMaxNameLength);
  if (!r.ok()) return r.error();
  return ScopeEntry{scope_type, std::move(owned_name), std::string(component)};
}

Expected<FstHierarchyEntry> read_attribute(ByteReader& r) {
  const std::uint8_t attribute_type = r.read_u8();
  const std::uint8_t subtype = r.read_u8();
  if (!r.ok()) return r.error();
  if (attribute_type > 3) return ReaderError::with_byte(ReaderError::Kind::AttributeType, attribute_type);
  if (subtype > 8) return ReaderError::with_byte(ReaderError::Kind::MiscType, subtype);
  if (attribute_type == 1) return ReaderError::unsupported("ARRAY attributes");
  if (attribute_type == 2) return ReaderError::unsupported("ENUM attributes");
  if (attribute_type == 3) return ReaderError::unsupported("PACK attributes");
  if (subtype == 4 || subtype == 5) {
    const std::uint64_t path_id = r.read_varint_u64();
    const std::uint8_t terminator = r.read_u8();
    if (!r.ok()) return r.error();
    if (terminator != 0) return ReaderError::malformed("expected to be zero terminated!");
    const std::uint64_t line = r.read_varint_u64();
    if (!r.ok()) return r.error();
    return parse_misc_attribute({}, subtype, line, path_id);
  }
  const std::string_view name = r.read_c_str(kMaxAttributeNameLength);
  const std::uint64_t argument = r.read_varint_u64();
  if (!r.ok()) return r.error();
  return parse_misc_attribute(name, subtype, argument, 0);
}

}  // namespace

Expected<std::vector<std::uint8_t>> read_hierarchy_bytes(FstInput& in, const HierarchyLocation& location) {
  in.seek(location.offset);
  const std::uint64_t section_length = in.read_u64();
  const std::uint64_t uncompressed = in.read_u64();
  if (!in.ok()) return in.error();
  if (section_length < 16) return ReaderError::malformed("hierarchy block shorter than its fields");
  const std::uint64_t body = section_length - 16;
  switch (location.compression) {
    case HierarchyCompression::GZip: {
      const Status header = read_gzip_header(in);
      if (!header.ok()) return header.error();
      if (body < 10) return ReaderError::malformed("hierarchy block shorter than its gzip header");
      return read_raw_deflate(in, uncompressed, body - 10);
    }
    case HierarchyCompression::Lz4: return read_lz4_compressed_bytes(in, uncompressed, body);
    case HierarchyCompression::Lz4Duo: {
      std::uint32_t taken = 0;
      const std::uint64_t first_stage = in.read_varint_u64(&taken);
      if (!in.ok()) return in.error();
      if (taken > body) return ReaderError::malformed("hierarchy block shorter than its fields");
      auto once = read_lz4_compressed_bytes(in, first_stage, body - taken);
      if (!once.ok()) return once.error();
      return decompress_lz4_block(once.value(), uncompressed);
    }
  }
  return ReaderError::malformed("unknown hierarchy compression");
}

Expected<std::optional<FstHierarchyEntry>> read_hierarchy_entry(ByteReader& r, std::uint32_t& handle_counter) {
  if (r.at_end()) return std::optional<FstHierarchyEntry>();
  const std::uint8_t tag = r.read_u8();
  auto wrap = [](Expected<FstHierarchyEntry> e) -> Expected<std::optional<FstHierarchyEntry>> {
    if (!e.ok()) return e.error();
    return std::optional<FstHierarchyEntry>(std::move(e).value());
  };
  if (tag <= kMaxVarType) return wrap(read_variable(r, tag, handle_counter));
  switch (tag) {
    case kTagScope: return wrap(read_scope(r));
    case kTagUpScope: return std::optional<FstHierarchyEntry>(UpScopeEntry{});
    case kTagAttributeBegin: return wrap(read_attribute(r));
    case kTagAttributeEnd: return std::optional<FstHierarchyEntry>(AttributeEndEntry{});
    default: return ReaderError::unsupported("Deal with hierarchy entry of type: " + std::to_string(tag));
  }
}

Expected<FstHierarchyEntry> parse_misc_attribute(std::string_view name, std::uint8_t subtype, std::uint64_t argument,
                                                 std::uint64_t path_id) {
  switch (subtype) {
    case 0: return CommentEntry{std::string(name)};
    case 1: return ReaderError::unsupported("EnvVar Attribute");
    case 2: {
      const auto var_type = static_cast<std::uint8_t>(argument >> 10);
      const auto data_type = static_cast<std::uint8_t>(argument & 0xff);
      if (var_type > 5) return ReaderError::with_byte(ReaderError::Kind::FstVhdlVarType, var_type);
      if (data_type > 16) return ReaderError::with_byte(ReaderError::Kind::FstVhdlDataType, data_type);
      return VhdlVarInfoEntry{std::string(name), var_type, data_type};
    }
    case 3: return PathNameEntry{argument, std::string(name)};
    case 4: return SourceStemEntry{false, path_id, argument};
    case 5: return SourceStemEntry{true, path_id, argument};
    case 6: return ReaderError::unsupported("ValueList Attribute");
    case 7: {
      if (name.empty()) return EnumTableRefEntry{argument};
      auto table = parse_enum_table(name, argument);
      if (!table.ok()) return table.error();
      return std::move(table).value();
    }
    default: return ReaderError::unsupported("unknown Attribute");
  }
}

Expected<EnumTableEntry> parse_enum_table(std::string_view text, std::uint64_t handle) {
  const auto parts = split_whitespace(text);
  if (parts.size() < 2) return ReaderError::enum_table_string("not enough spaces", std::string(text));
  const auto count = parse_u32(parts[1]);
  if (!count) return ReaderError::parse_int();
  const std::uint64_t n = *count;
  if (parts.size() - 2 != 2 * n) {
    return ReaderError::enum_table_string(
        "expected " + std::to_string(2 * n) + " parts got " + std::to_string(parts.size() - 2), std::string(text));
  }
  EnumTableEntry table{std::string(parts[0]), handle, {}};
  table.mapping.reserve(static_cast<std::size_t>(n));
  for (std::uint64_t i = 0; i < n; ++i) {
    table.mapping.emplace_back(std::string(parts[2 + n + i]), std::string(parts[2 + i]));
  }
  return table;
}

}  // namespace velk::fst
