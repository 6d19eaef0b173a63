#pragma once

#include <string>

#include "io/result.h"
#include "trace/loaded_trace.h"

namespace velk {

class ShmTrace {
 public:
  static Result<LoadedTrace> from_file(const std::string& path);
};

}  // namespace velk
