// The older name of Expected<T>, kept while the last readers move over.
#pragma once

#include "io/error.h"

namespace velk {

template <class T>
using Result = Expected<T>;

}  // namespace velk
