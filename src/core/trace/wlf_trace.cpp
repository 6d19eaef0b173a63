#include "trace/wlf_trace.h"

namespace velk {

// Placeholder until the reader lands.
Result<LoadedTrace> WlfTrace::from_file(const std::string& path) {
  return Error{"Wlf reader not available: " + path};
}

}  // namespace velk
