#include "formats/fst/reader_error.h"

#include "io/byte_reader.h"

namespace velk::fst {
namespace {

const char* fixed_text(ReaderError::Kind kind) {
  using Kind = ReaderError::Kind;
  switch (kind) {
    case Kind::ParseInt: return "failed to parse an integer";
    case Kind::Lz4Decompress: return "failed to decompress with lz4";
    case Kind::ZLibDecompress: return "failed to decompress with zlib";
    case Kind::Utf8:
    case Kind::Utf8String: return "failed to decode string";
    case Kind::Io: return "I/O operation failed";
    case Kind::NotFinishedCompressing: return "The FST file is still being compressed into its final GZIP wrapper.";
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
  }
  return "unknown error";
}

}  // namespace

Error ReaderError::enum_table_string(const std::string& problem, const std::string& text) {
  return Error::format("failed to parse an enum table string: " + problem + "\n" + text);
}

Error ReaderError::lz4(std::string detail) { return of(Kind::Lz4Decompress).detail(std::move(detail)); }

Error ReaderError::zlib(std::string detail) { return of(Kind::ZLibDecompress).detail(std::move(detail)); }

Error ReaderError::gzip_header(const std::string& text) {
  return Error::format("failed to parse a gzip header: " + text);
}

Error ReaderError::gzip_body(const std::string& text) {
  return Error::format("failed to decompress gzip stream: " + text);
}

Error ReaderError::utf8_string(const std::string& bytes) {
  return of(Kind::Utf8String).detail("invalid UTF-8 in a " + std::to_string(bytes.size()) + "-byte string");
}

Error ReaderError::io(std::string detail, int os_errno) {
  Error e = short_read_error(std::move(detail));
  if (os_errno == 0) return e;
  return Error::io(e.message(), os_errno).detail(e.detail());
}

Error ReaderError::with_byte(Kind kind, std::uint64_t byte) {
  return of(kind).detail("unexpected value " + std::to_string(byte));
}

Error ReaderError::of(Kind kind) {
  if (kind == Kind::Io) return io();
  return Error::format(fixed_text(kind));
}

}  // namespace velk::fst
