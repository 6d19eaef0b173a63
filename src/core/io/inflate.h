// A raw DEFLATE decoder (the compressed-data format inside gzip members) for
// streaming use on untrusted input.
//
// The decoder writes into its own window: the last 32 KiB of output (the
// reach of a back-reference) followed by room for a chunk of new output. The
// caller takes the new bytes out (pending/take) and runs the decoder again;
// once everything is taken, the window slides and keeps only the history.
//
// Input comes from a buffer the caller owns and refills. Between runs the
// decoder holds at most 7 bits of it (the rest of a partly used byte), so
// the caller may move the unread bytes [pos, end) elsewhere and append more.
// Unless `eof` says no more bytes will ever come, the decoder asks for more
// input (kNeedInput) whenever fewer than kInputMargin bytes remain at a point
// where it would need them: a whole block header or symbol then always fits,
// and decoding never stops inside one except at the true end of the input.
//
// Corrupt input is reported with the wording zlib uses for the same fault,
// at the same point of the stream: a fault counts only once every bit zlib
// would read before noticing it is present, else the input is truncated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace velk {

// The CRC-32 of gzip trailers (zlib's crc32()): `crc` is the value so far,
// 0 to begin. Folds 16-byte blocks with carry-less multiplication where the
// processor has it.
std::uint32_t gzip_crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size);

class Inflater {
 public:
  enum class Status {
    kOutputFull,  // the chunk is full: take the pending bytes, then run again
    kNeedInput,   // append input (or say eof) and run again
    kEnd,         // the final block ended; `pos` is the first byte after it
    kTruncated,   // the input ended inside the stream
    kError,       // corrupt stream; message() says why
  };

  static constexpr std::size_t kHistory = 32 * 1024;
  static constexpr std::size_t kInputMargin = 1024;

  explicit Inflater(std::size_t chunk_bytes = 256 * 1024);
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Starts a new stream: no history, no partial byte. Bytes decoded but not
  // yet taken stay pending.
  void start();

  // Decodes from in[pos, end), advancing `pos`. After kEnd the stream is
  // over; start() begins another. After kTruncated or kError, running again
  // returns the same status.
  Status run(const std::uint8_t* in, std::size_t& pos, std::size_t end, bool eof);

  // The decoded bytes not yet taken.
  const std::uint8_t* pending() const noexcept { return window_.get() + read_; }
  std::size_t pending_size() const noexcept { return write_ - read_; }
  void take(std::size_t n) noexcept { read_ += n; }

  // zlib's text for the fault after kError.
  const char* message() const noexcept { return message_; }

 private:
  enum class Mode { kBlockHeader, kStored, kHuffman, kEnd, kFailed };
  struct Tables;

  Status fail(const char* message);
  Status truncated();
  Status read_block_header(const std::uint8_t* in, std::size_t& pos, std::size_t end);
  Status read_dynamic_tables(const std::uint8_t* in, std::size_t& pos, std::size_t end);
  Status copy_stored(const std::uint8_t* in, std::size_t& pos, std::size_t end, bool eof);
  Status decode_huffman(const std::uint8_t* in, std::size_t& pos, std::size_t end, bool eof);
  void unread_whole_bytes(std::size_t& pos) noexcept;

  std::size_t chunk_;
  std::unique_ptr<std::uint8_t[]> window_;
  std::size_t limit_;       // decoding stops once write_ reaches this
  std::size_t read_ = 0;    // first pending byte
  std::size_t write_ = 0;   // end of the decoded bytes
  std::size_t history_ = 0; // the stream's first byte still in the window (distances may reach it)
  std::unique_ptr<Tables> tables_;
  const std::uint32_t* litlen_ = nullptr;
  const std::uint32_t* dist_ = nullptr;

  std::uint64_t bitbuf_ = 0;
  unsigned bitsleft_ = 0;
  Mode mode_ = Mode::kBlockHeader;
  bool final_block_ = false;
  std::uint32_t stored_left_ = 0;
  Status failed_status_ = Status::kError;
  const char* message_ = nullptr;
};

}  // namespace velk
