// Loads an FST file into the loaded-trace record: the hierarchy gives names,
// scopes and ids, the value changes fill the dense per-index store.
#pragma once

#include <string>

#include "formats/fst/fst_types.h"
#include "io/error.h"
#include "model/loaded_trace.h"

namespace velk {

using FstSignalValue = fst::FstSignalValue;

class FstTrace {
 public:
  // Errors: "Failed to open {path}: {os error}", or "FST open: ...",
  // "FST hierarchy: ...", "FST signals: ..." with the decoder's error text.
  static Expected<LoadedTrace> from_file(const std::string& path);
};

// One reported FST value as a SignalValue: reals stay reals, value characters
// with x/z-like states become Logic, pure 0/1 text becomes Bits (last 64
// characters), anything else Str.
SignalValue convert_value(const FstSignalValue& value);

}  // namespace velk
