#include "io/error.h"

namespace velk {

std::string Error::note() const {
  std::string out = detail_;
  auto add = [&out](std::string_view part) {
    if (!out.empty()) out += ' ';
    out += part;
  };
  if (offset_) add("at byte " + std::to_string(*offset_));
  if (!field_.empty()) add("reading " + field_);
  return out;
}

}  // namespace velk
