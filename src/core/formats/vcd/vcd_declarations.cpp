#include "formats/vcd/vcd_declarations.h"

#include "io/text.h"

namespace velk {

void VcdDeclarations::apply(std::string_view line) {
  if (line.starts_with("$scope")) return on_scope(line);
  if (line.starts_with("$upscope")) return on_upscope();
  if (line.starts_with("$var")) return on_var(line);
}

void VcdDeclarations::finish() { trace_.signals.settle_repeats(SignalTable::Repeats::TakeLatestEntry); }

void VcdDeclarations::on_scope(std::string_view line) {
  Tokens tokens(line);
  tokens.next();
  tokens.next();
  const auto name = tokens.next();
  if (!name) return;
  path_lengths_.push_back(path_.size());
  if (!stack_.empty()) path_ += '.';
  path_ += *name;
  stack_.push_back(trace_.scope_tree_.enter(stack_.empty() ? ScopeTree::kRoot : stack_.back(), *name));
}

void VcdDeclarations::on_upscope() {
  if (stack_.empty()) return;
  stack_.pop_back();
  path_.resize(path_lengths_.back());
  path_lengths_.pop_back();
}

void VcdDeclarations::on_var(std::string_view line) {
  Tokens tokens(line);
  std::string_view fields[5];
  for (auto& field : fields) {
    const auto token = tokens.next();
    if (!token) return;  // a declaration must be on one line
    field = *token;
  }
  const std::uint32_t width = parse_u32(fields[2]).value_or(1);
  const std::string_view code = fields[3];
  std::string_view reference = fields[4];
  if (const std::size_t bracket = reference.find('['); bracket != std::string_view::npos) {
    reference = reference.substr(0, bracket);
  }
  std::uint32_t id;
  if (const auto known = codes_.find(code)) {
    id = *known;
  } else {
    id = next_id_++;
    codes_.insert(code, id);
  }
  // A repeated full name keeps its place in the name list and takes the
  // latest declaration's id and width: finish() settles repeats for all
  // names at once, which costs less than a lookup per declaration.
  if (stack_.empty()) {
    trace_.signals.append_unsettled(reference, {id, width});
  } else {
    trace_.signals.append_unsettled(path_, reference, {id, width});
  }
}

}  // namespace velk
