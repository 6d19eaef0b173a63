// UTF-8 checks for names read from FST files.
#pragma once

#include <string>
#include <string_view>

namespace velk::fst {

bool is_valid_utf8(std::string_view bytes);
// The bytes with every invalid sequence replaced by U+FFFD.
std::string decode_utf8_lossy(std::string_view bytes);

}  // namespace velk::fst
