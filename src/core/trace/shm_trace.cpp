#include "trace/shm_trace.h"

namespace velk {

// Placeholder until the reader lands.
Result<LoadedTrace> ShmTrace::from_file(const std::string& path) {
  return Error{"Shm reader not available: " + path};
}

}  // namespace velk
