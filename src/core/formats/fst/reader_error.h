// The FST decoder's failures. Each kind has a fixed text that the trace
// loader embeds in its messages; every one is built as a velk::Error, so the
// decoder reports through the same Expected/Status as every other reader.
#pragma once

#include <cstdint>
#include <string>

#include "io/error.h"

namespace velk::fst {

using velk::Error;
using velk::Expected;
using velk::Status;

// The catalogue of FST errors: ReaderError::io() builds the Error for a short
// read, ReaderError::of(Kind::MissingGeometry) the one for a missing block.
struct ReaderError {
  // The failures whose text is fixed.
  enum class Kind : std::uint8_t {
    ParseInt,
    Lz4Decompress,
    ZLibDecompress,
    Utf8,
    Utf8String,
    Io,
    NotFinishedCompressing,
    BlockType,
    FileType,
    FstVhdlVarType,
    FstVhdlDataType,
    FstVarType,
    FstScopeType,
    FstVarDirection,
    AttributeType,
    MiscType,
    MissingGeometry,
    MissingHierarchy,
  };

  static Error enum_table_string(const std::string& problem, const std::string& text);
  static Error parse_int() { return of(Kind::ParseInt); }
  static Error lz4(std::string detail);
  static Error zlib(std::string detail);
  static Error gzip_header(const std::string& text);
  static Error gzip_body(const std::string& text);
  static Error utf8_string(const std::string& bytes);
  // A read the input could not satisfy; `detail` says which ("unexpected end
  // of file" for a short read) and goes to the note, not the message.
  static Error io(std::string detail = "unexpected end of file", int os_errno = 0);
  // A kind whose text names an offending byte value (a block or variable type).
  static Error with_byte(Kind kind, std::uint64_t byte);
  static Error of(Kind kind);
  // Structure that the format cannot hold (a second hierarchy block, an
  // offset of 0, a time index past the table, ...). The text names it.
  static Error malformed(std::string text) { return Error::format(std::move(text)); }
  // A construct that the format allows but this reader does not decode.
  static Error unsupported(const std::string& what) { return Error::format("not yet implemented: " + what); }
};

}  // namespace velk::fst
