// VPD reader: the fuzz bytes are the whole file.
#include "formats/vpd/vpd_trace.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static velk::fuzz::MemFile file;
  const std::string& path = file.write(data, size);
  velk::fuzz::load_and_check(data, size, [&] { return velk::VpdTrace::from_file(path); });
  return 0;
}
