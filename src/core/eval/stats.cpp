#include "eval/stats.h"

#include <algorithm>
#include <cstdint>

namespace velk {

SignalStats compute_stats(const Trace& trace, std::string_view name) {
  SignalStats stats{UINT64_MAX, 0, 0, 0, 0, 0, 0};
  const auto id = trace.signal_id(name);
  if (!id) return SignalStats{0, 0, 0, 0, 0, 0, 0};
  const std::size_t last = trace.max_index();
  // Two cursors, one a step behind, so that neither value is copied.
  SignalCursor values = trace.cursor(*id);
  SignalCursor previous = values;
  // Index 0 is always visited, even for a trace without timestamps.
  for (std::size_t i = 0;; ++i) {
    const SignalValue& v = values.at(i);
    switch (v.tag()) {
      case SignalValue::Tag::Bits: {
        const std::uint64_t x = v.as_bits();
        stats.sum += x;  // wraps
        stats.max = std::max(stats.max, x);
        stats.min = std::min(stats.min, x);
        ++stats.count;
        break;
      }
      case SignalValue::Tag::Logic:
        for (const std::uint8_t level : v.levels()) {
          stats.num_x += level == kLogicX ? 1 : 0;
          stats.num_z += level == kLogicZ ? 1 : 0;
        }
        break;
      case SignalValue::Tag::Empty:
        ++stats.num_x;
        break;
      case SignalValue::Tag::WideBits:
      case SignalValue::Tag::Real:
      case SignalValue::Tag::Str:
        break;
    }
    if (i > 0 && !(v == previous.at(i - 1))) ++stats.transitions;
    if (i == last) break;
  }
  if (stats.count == 0) stats.min = 0;
  return stats;
}

}  // namespace velk
