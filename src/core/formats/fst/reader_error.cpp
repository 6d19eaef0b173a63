#include "formats/fst/reader_error.h"

namespace velk::fst {

std::string ReaderError::display() const {
  switch (kind_) {
    case Kind::CStringTooLong:
      return "failed to read a null terminated string because it exceeds the expected size of " +
             std::to_string(number_) + " bytes.\n" + text_;
    case Kind::EnumTableString: return "failed to parse an enum table string: " + text_ + "\n" + text2_;
    case Kind::Leb128:
      return "failed to read leb128 integer, more than the expected " + std::to_string(number_) + " bits";
    case Kind::ParseInt: return "failed to parse an integer";
    case Kind::Lz4Decompress: return "failed to decompress with lz4";
    case Kind::ZLibDecompress: return "failed to decompress with zlib";
    case Kind::GZipHeader: return "failed to parse a gzip header: " + text_;
    case Kind::GZipBody: return "failed to decompress gzip stream: " + text_;
    case Kind::Utf8:
    case Kind::Utf8String: return "failed to decode string";
    case Kind::Io: return "I/O operation failed";
    case Kind::NotFinishedCompressing:
      return "The FST file is still being compressed into its final GZIP wrapper.";
    case Kind::BlockType: return "Unexpected block type";
    case Kind::FileType: return "Unexpected file type";
    case Kind::FstVhdlVarType: return "Unexpected vhdl variable type";
    case Kind::FstVhdlDataType: return "Unexpected vhdl data type";
    case Kind::FstVarType: return "Unexpected variable type";
    case Kind::FstScopeType: return "Unexpected scope type";
    case Kind::FstVarDirection: return "Unexpected variable direction";
    case Kind::AttributeType: return "Unexpected attribute type";
    case Kind::MiscType: return "Unexpected misc attribute type";
    case Kind::MissingGeometry: return "The FST file is incomplete: geometry block is missing.";
    case Kind::MissingHierarchy: return "The FST file is incomplete: hierarchy block is missing.";
    case Kind::Malformed:
    case Kind::Unsupported: return text_;
  }
  return "unknown error";
}

std::string ReaderError::debug() const {
  static constexpr const char* kNames[] = {
      "CStringTooLong", "EnumTableString", "Leb128",         "ParseInt",        "Lz4Decompress",
      "ZLibDecompress", "GZipHeader",      "GZipBody",       "Utf8",            "Utf8String",
      "Io",             "NotFinishedCompressing", "BlockType", "FileType",      "FstVhdlVarType",
      "FstVhdlDataType", "FstVarType",     "FstScopeType",   "FstVarDirection", "AttributeType",
      "MiscType",       "MissingGeometry", "MissingHierarchy", "Malformed",     "Unsupported"};
  std::string out = kNames[static_cast<int>(kind_)];
  out += "(" + std::to_string(number_);
  if (!text_.empty()) out += ", " + text_;
  if (!text2_.empty()) out += ", " + text2_;
  return out + ")";
}

}  // namespace velk::fst
