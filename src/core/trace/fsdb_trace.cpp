#include "trace/fsdb_trace.h"

namespace velk {

// Placeholder until the reader lands.
Result<LoadedTrace> FsdbTrace::from_file(const std::string& path) {
  return Error{"Fsdb reader not available: " + path};
}

}  // namespace velk
