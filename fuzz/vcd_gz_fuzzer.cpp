// Gzip-compressed VCD. An input that starts with the gzip magic is the file
// itself (corrupt, truncated and multi-member streams). Any other input is
// VCD text: it is compressed here, cut into two gzip members at a point taken
// from its first byte, and the streamed load must equal the plain text parse.
#include <zlib.h>

#include "formats/vcd/vcd_trace.h"
#include "fuzz_support.h"

namespace {

void append_member(std::vector<std::uint8_t>& out, const std::uint8_t* data, std::size_t size) {
  z_stream zs{};
  if (deflateInit2(&zs, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) velk::fuzz::fail("deflateInit2");
  const std::size_t at = out.size();
  out.resize(at + deflateBound(&zs, size) + 64);
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = static_cast<uInt>(size);
  zs.next_out = out.data() + at;
  zs.avail_out = static_cast<uInt>(out.size() - at);
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) velk::fuzz::fail("deflate");
  out.resize(at + zs.total_out);
  deflateEnd(&zs);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velk;
  static fuzz::MemFile file;
  if (size >= 2 && data[0] == 0x1f && data[1] == 0x8b) {
    const std::string& path = file.write(data, size);
    fuzz::load_and_check(data, size, [&] { return VcdTrace::from_gzip_file(path); }, false);
    return 0;
  }
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const fuzz::Fingerprint expected = fuzz::read_back(VcdTrace::parse(text), false);
  const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
  std::vector<std::uint8_t> gz;
  append_member(gz, data, cut);
  append_member(gz, data + cut, size - cut);
  const std::string& path = file.write(gz.data(), gz.size());
  auto loaded = VcdTrace::from_gzip_file(path);
  fuzz::check(loaded.ok(), "gzip VCD load failed", loaded.ok() ? "" : loaded.error().message());
  fuzz::check(fuzz::read_back(loaded.value(), false) == expected, "gzip load differs from the text parse");
  return 0;
}
