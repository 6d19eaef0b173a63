#include "trace/vpd_trace.h"

namespace velk {

// Placeholder until the reader lands.
Result<LoadedTrace> VpdTrace::from_file(const std::string& path) {
  return Error{"Vpd reader not available: " + path};
}

}  // namespace velk
