// Records shared by the parts of the FST decoder and by the trace adapter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velk::fst {

// Per-signal geometry: 0 is a real (8-byte double per value); n > 0 is a bit
// vector of n - 1 bits.
class SignalInfo {
 public:
  // From the geometry block's stored value: 0 real, 0xFFFFFFFF zero-width, v bits otherwise.
  static constexpr SignalInfo from_file_format(std::uint32_t stored) {
    if (stored == 0) return SignalInfo(0);
    if (stored == 0xFFFFFFFFu) return SignalInfo(1);
    return SignalInfo(stored + 1);
  }
  constexpr explicit SignalInfo(std::uint32_t raw) : raw_(raw) {}
  constexpr std::uint32_t raw() const { return raw_; }
  constexpr bool is_real() const { return raw_ == 0; }
  // Bits of a vector; 0 for a real and for a zero-width vector.
  constexpr std::uint32_t bit_length() const { return raw_ == 0 ? 0 : raw_ - 1; }
  // Bytes the signal takes in a frame.
  constexpr std::uint64_t frame_bytes() const { return is_real() ? 8 : bit_length(); }
  friend constexpr bool operator==(SignalInfo, SignalInfo) = default;

 private:
  std::uint32_t raw_;
};

// 1-based signal number: handle h is geometry entry h - 1.
struct FstSignalHandle {
  std::uint32_t value;
  std::uint32_t index() const { return value - 1; }
  friend bool operator==(FstSignalHandle, FstSignalHandle) = default;
};

// One reported value: value characters of a bit vector (or the bytes of a
// variable-length value), or a real. `text` borrows the decoder's buffer and is
// only valid during the callback that receives it.
struct FstSignalValue {
  enum class Kind : std::uint8_t { String, Real };
  Kind kind = Kind::String;
  std::string_view text;
  double real = 0.0;

  static FstSignalValue string(std::string_view t) { return {Kind::String, t, 0.0}; }
  static FstSignalValue of_real(double v) { return {Kind::Real, {}, v}; }
};

enum class FileType : std::uint8_t { Verilog = 0, Vhdl = 1, VerilogVhdl = 2 };
enum class FloatEndian : std::uint8_t { Little, Big };

struct Header {
  std::uint64_t start_time = 0;
  std::uint64_t end_time = 0;
  std::uint64_t memory_used_by_writer = 0;
  std::uint64_t scope_count = 0;
  std::uint64_t var_count = 0;
  std::uint64_t max_var_id_code = 0;
  std::uint64_t vc_section_count = 0;
  std::int8_t timescale_exponent = 0;
  std::string version;
  std::string date;
  FileType file_type = FileType::Verilog;
  std::int64_t time_zero = 0;
};

// A value-change section found by opening. `offset` is the file offset of its
// section length field.
struct SectionLocation {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::uint64_t start_time = 0;
  std::uint64_t end_time = 0;
  std::uint64_t memory_required = 0;
  std::uint8_t kind = 0;  // 0, 1: offset table by appending; 2: alias2 encoding
};

enum class HierarchyCompression : std::uint8_t { GZip, Lz4, Lz4Duo };

struct HierarchyLocation {
  HierarchyCompression compression = HierarchyCompression::GZip;
  std::uint64_t offset = 0;  // of its section length field
};

struct BlackoutEntry {
  std::uint64_t time = 0;
  bool dumping_on = false;
};

struct MetaData {
  Header header;
  FloatEndian float_endian = FloatEndian::Little;
  std::vector<SignalInfo> signals;
  std::vector<SectionLocation> sections;
  std::optional<HierarchyLocation> hierarchy;
  std::optional<std::vector<BlackoutEntry>> blackout;
  std::optional<std::vector<std::uint64_t>> time_table;
};

}  // namespace velk::fst
