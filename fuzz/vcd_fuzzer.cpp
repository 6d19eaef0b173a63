// VCD reader, both entry points: the text parser over the fuzz bytes and the
// streaming file loader over the same bytes must agree.
#include "formats/vcd/vcd_trace.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velk;
  static fuzz::MemFile file;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const VcdTrace parsed = VcdTrace::parse(text);
  const fuzz::Fingerprint from_text = fuzz::read_back(parsed, false);

  const std::string& path = file.write(data, size);
  auto loaded = VcdTrace::from_file(path);
  fuzz::check(loaded.ok(), "VCD file load failed", loaded.ok() ? "" : fuzz::message_of(loaded.error()));
  fuzz::check(fuzz::read_back(loaded.value(), false) == from_text, "file and text loads differ");
  return 0;
}
