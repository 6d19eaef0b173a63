// Summary statistics of one signal over all indices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "model/trace.h"

namespace velk {

struct SignalStats {
  std::uint64_t min;  // smallest Bits value; 0 when none was seen
  std::uint64_t max;  // largest Bits value; 0 when none was seen
  std::uint64_t sum;  // of all Bits values, wrapping
  std::size_t count;  // indices holding Bits
  std::size_t transitions;
  std::size_t num_x;  // X elements of Logic values plus Empty indices
  std::size_t num_z;  // Z elements of Logic values
};

// All fields 0 for an unknown name.
SignalStats compute_stats(const Trace& trace, std::string_view name);

}  // namespace velk
