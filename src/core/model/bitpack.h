// Conversion of textual bit vectors ("b10x1", "0101") into values.
#pragma once

#include <string_view>

#include "model/signal_value.h"

namespace velk {

// Drops one leading 'b'/'B'; empty rest gives Empty; any x/X/z/Z gives Logic
// (one element per character); otherwise Bits of the last 64 characters, where
// only '1' sets a bit.
SignalValue parse_binary_str(std::string_view text);

}  // namespace velk
