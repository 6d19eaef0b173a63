// FST reader: the fuzz bytes are the whole file (plain or gzip-wrapped).
#include "formats/fst/fst_trace.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static velk::fuzz::MemFile file;
  const std::string& path = file.write(data, size);
  // FST aliases (one signal under several names) share an id, like VCD ones.
  velk::fuzz::load_and_check(data, size, [&] { return velk::FstTrace::from_file(path); }, false);
  return 0;
}
