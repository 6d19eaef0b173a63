#include "trace/fst_trace.h"

namespace velk {

// Placeholder until the reader lands.
Result<LoadedTrace> FstTrace::from_file(const std::string& path) {
  return Error{"Fst reader not available: " + path};
}

}  // namespace velk
