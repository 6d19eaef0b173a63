// VCD reader, both entry points: the text parser over the fuzz bytes and the
// streaming file loader over the same bytes must agree. The file is also read
// on two threads in tiny blocks, so that lines cut at every possible place
// must join up to the same trace as one pass over the whole text.
#include "formats/vcd/vcd_trace.h"
#include "fuzz_support.h"

#if __has_include("formats/vcd/vcd_loader.h")
#define VELK_VCD_BLOCKS 1
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velk;
  static fuzz::MemFile file;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
#ifdef VELK_VCD_BLOCKS
  const auto parsed = VcdTrace::parse(text, VcdLoadOptions{1, std::size_t{1} << 20});
#else
  const auto parsed = VcdTrace::parse(text);
#endif
  const fuzz::Fingerprint from_text = fuzz::read_back(parsed, false);

  const std::string& path = file.write(data, size);
  auto loaded = VcdTrace::from_file(path);
  fuzz::check(loaded.ok(), "VCD file load failed", loaded.ok() ? "" : loaded.error().message());
  fuzz::check(fuzz::read_back(loaded.value(), false) == from_text, "file and text loads differ");
#ifdef VELK_VCD_BLOCKS
  const std::size_t block = 16 + (size == 0 ? 0 : data[0] % 48);
  auto split = VcdTrace::read_file(path, VcdLoadOptions{2, block});
  fuzz::check(split.ok(), "VCD block load failed");
  fuzz::check(fuzz::read_back(split.value(), false) == from_text, "block-parallel load differs");
#endif
  return 0;
}
