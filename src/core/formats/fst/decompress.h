// Reading compressed pieces of an FST file: zlib streams (or stored bytes),
// raw DEFLATE after a gzip member header, LZ4 blocks, and value-change chains
// packed by the section's method.
//
// Every claimed uncompressed length is checked against what the compressed
// bytes can expand to before any output buffer is sized, so a hostile header
// cannot make the reader allocate more than the file justifies.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "formats/fst/fst_input.h"
#include "formats/fst/reader_error.h"

namespace velk::fst {

enum class PackType : std::uint8_t { Lz4 = 0, FastLz = 1, Zlib = 2 };

// '4' is LZ4, 'F' FastLZ, every other byte zlib.
PackType pack_type_from_byte(std::uint8_t byte);

// Exactly `uncompressed` bytes from `compressed` input bytes; stored bytes when
// allowed and the two lengths are equal, a zlib stream otherwise. Appends to `out`.
Status read_zlib_into(FstInput& in, std::uint64_t uncompressed, std::uint64_t compressed, bool stored_allowed,
                      std::vector<std::uint8_t>& out, std::vector<std::uint8_t>& scratch);
Expected<std::vector<std::uint8_t>> read_zlib_compressed_bytes(FstInput& in, std::uint64_t uncompressed,
                                                               std::uint64_t compressed, bool stored_allowed);

// One raw LZ4 block of `compressed` input bytes that must decode to exactly
// `uncompressed` bytes. Appends to `out`.
Status read_lz4_into(FstInput& in, std::uint64_t uncompressed, std::uint64_t compressed,
                     std::vector<std::uint8_t>& out, std::vector<std::uint8_t>& scratch);
Expected<std::vector<std::uint8_t>> read_lz4_compressed_bytes(FstInput& in, std::uint64_t uncompressed,
                                                              std::uint64_t compressed);
// One LZ4 block already in memory.
Expected<std::vector<std::uint8_t>> decompress_lz4_block(std::span<const std::uint8_t> block,
                                                         std::uint64_t uncompressed);

// Consumes and checks a 10-byte gzip member header.
Status read_gzip_header(FstInput& in);

// `compressed` bytes of raw DEFLATE data (trailing gzip trailer allowed),
// inflated to exactly `uncompressed` bytes.
Expected<std::vector<std::uint8_t>> read_raw_deflate(FstInput& in, std::uint64_t uncompressed,
                                                     std::uint64_t compressed);

// The rest of the input as one raw DEFLATE stream, inflated in chunks until
// `uncompressed` bytes are produced or the stream ends.
Expected<std::vector<std::uint8_t>> inflate_gzip_body(FstInput& in, std::uint64_t uncompressed);

// One value-change chain of `chain_length` bytes: a varint uncompressed
// length (0 = stored), then the packed bytes. Appends the plain bytes to `out`.
Status read_packed_signal_value_bytes(FstInput& in, std::uint64_t chain_length, PackType pack,
                                      std::vector<std::uint8_t>& out, std::vector<std::uint8_t>& scratch);

}  // namespace velk::fst
