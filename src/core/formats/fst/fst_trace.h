// Loads an FST file into the loaded-trace record: the hierarchy gives names,
// scopes and ids, the value changes fill the change-based store.
#pragma once

#include <string>

#include "formats/fst/fst_types.h"
#include "io/error.h"
#include "model/loaded_trace.h"

namespace velk {

using FstSignalValue = fst::FstSignalValue;

// How the value changes are read. Both give the same trace.
struct FstLoadOptions {
  enum class Order : std::uint8_t {
    // Chain by chain into the store, on `threads` threads (0: as many as the
    // machine has), falling back to TimeOrdered for a file that needs it.
    ByChain,
    // Every value reported in time order and placed at its index (the
    // reference the chain-by-chain decoding is checked against).
    TimeOrdered,
  };
  Order order = Order::ByChain;
  unsigned threads = 0;
};

class FstTrace {
 public:
  // Errors: "Failed to open {path}: {os error}", or "FST open: ...",
  // "FST hierarchy: ...", "FST signals: ..." with the decoder's error text.
  static Expected<LoadedTrace> from_file(const std::string& path);
  static Expected<LoadedTrace> from_file_with(const std::string& path, const FstLoadOptions& options);
};

// One reported FST value as a SignalValue: reals stay reals, value characters
// with x/z-like states become Logic, pure 0/1 text becomes Bits (last 64
// characters), anything else Str.
SignalValue convert_value(const FstSignalValue& value);

}  // namespace velk
