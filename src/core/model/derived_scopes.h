// Scopes derived from dotted signal names, for the readers whose files carry
// names but no hierarchy.
#pragma once

#include "model/loaded_trace.h"

namespace velk {

// Lists, as the trace's scopes, every proper dotted prefix of every name
// ("top.cpu.pc" gives "top" and "top.cpu"), each once, sorted by bytes.
// Builds them as a tree of path pieces, so the work and memory are linear in
// the total length of the names however deep they nest (a name of many
// thousand parts costs its length, not the sum of its prefixes).
void list_derived_scopes(LoadedTrace& trace);

}  // namespace velk
