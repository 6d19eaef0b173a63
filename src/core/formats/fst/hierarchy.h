// Entries of the FST hierarchy block: scopes, variables and attributes, in
// file order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "io/byte_reader.h"
#include "formats/fst/fst_input.h"
#include "formats/fst/fst_types.h"
#include "formats/fst/reader_error.h"

namespace velk::fst {

inline constexpr std::uint8_t kVarTypePort = 18;
inline constexpr std::size_t kMaxNameLength = 65536;
inline constexpr std::size_t kMaxAttributeNameLength = 69632;

struct ScopeEntry {
  std::uint8_t scope_type;
  std::string name;
  std::string component;
};
struct UpScopeEntry {};
struct VarEntry {
  std::uint8_t var_type;
  std::uint8_t direction;
  std::string name;
  std::uint32_t length;
  FstSignalHandle handle;
  bool is_alias;
};
struct PathNameEntry {
  std::uint64_t id;
  std::string name;
};
struct SourceStemEntry {
  bool is_instantiation;
  std::uint64_t path_id;
  std::uint64_t line;
};
struct CommentEntry {
  std::string text;
};
struct EnumTableEntry {
  std::string name;
  std::uint64_t handle;
  std::vector<std::pair<std::string, std::string>> mapping;  // (value, member name)
};
struct EnumTableRefEntry {
  std::uint64_t handle;
};
struct VhdlVarInfoEntry {
  std::string type_name;
  std::uint8_t vhdl_var_type;
  std::uint8_t vhdl_data_type;
};
struct AttributeEndEntry {};

using FstHierarchyEntry = std::variant<ScopeEntry, UpScopeEntry, VarEntry, PathNameEntry, SourceStemEntry,
                                       CommentEntry, EnumTableEntry, EnumTableRefEntry, VhdlVarInfoEntry,
                                       AttributeEndEntry>;

// The uncompressed entry stream of the hierarchy block at `location`.
Expected<std::vector<std::uint8_t>> read_hierarchy_bytes(FstInput& in, const HierarchyLocation& location);

// The next entry of the stream, nothing at its end. `handle_counter` numbers
// the non-alias variables; it starts at 0 for each walk.
Expected<std::optional<FstHierarchyEntry>> read_hierarchy_entry(ByteReader& reader, std::uint32_t& handle_counter);

// The entry of a miscellaneous attribute of `subtype`.
Expected<FstHierarchyEntry> parse_misc_attribute(std::string_view name, std::uint8_t subtype, std::uint64_t argument,
                                                 std::uint64_t path_id);

// "name count member... value..." into an enumeration table.
Expected<EnumTableEntry> parse_enum_table(std::string_view text, std::uint64_t handle);

}  // namespace velk::fst
