#include "formats/vcd/vcd_parser.h"

#include "io/text.h"
#include "model/bitpack.h"

namespace velk {
namespace {

bool is_ignored_keyword(std::string_view line) {
  return line.starts_with("$enddefinitions") || line.starts_with("$timescale") || line.starts_with("$date") ||
         line.starts_with("$version") || line.starts_with("$comment") || line.starts_with("$dumpvars") ||
         line == "$end";
}

// Splits "b1010 code" at its first ASCII space: the value part and the trimmed code.
bool split_vector_change(std::string_view line, std::string_view& value, std::string_view& code) {
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos) return false;
  value = line.substr(0, space);
  code = trim(line.substr(space + 1));
  return true;
}

}  // namespace

void VcdParser::feed_line(std::string_view raw_line) {
  // A line that is not valid UTF-8 counts as an empty line.
  if (!is_valid_utf8(raw_line)) return;
  const std::string_view line = trim(raw_line);
  if (line.empty()) return;
  if (line.front() == '$') {
    if (line.starts_with("$scope")) return on_scope(line);
    if (line.starts_with("$upscope")) return on_upscope();
    if (line.starts_with("$var")) return on_var(line);
    if (is_ignored_keyword(line)) return;
  }
  if (line.front() == '#') return on_timestamp(line);
  on_value_change(line);
}

std::string VcdParser::joined_scope() const {
  std::string path;
  for (const auto& part : scope_stack_) {
    if (!path.empty() || &part != &scope_stack_.front()) path += '.';
    path += part;
  }
  return path;
}

void VcdParser::on_scope(std::string_view line) {
  Tokens tokens(line);
  tokens.next();
  tokens.next();
  const auto name = tokens.next();
  if (!name) return;
  scope_stack_.emplace_back(*name);
  std::string path = joined_scope();
  if (known_scopes_.insert(path).second) trace_.scope_tree_.list_path(path);
}

void VcdParser::on_upscope() {
  if (!scope_stack_.empty()) scope_stack_.pop_back();
}

void VcdParser::on_var(std::string_view line) {
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
  std::string full_name = scope_stack_.empty() ? std::string() : joined_scope() + '.';
  full_name += reference;

  std::uint32_t id;
  if (const auto known = trace_.id_codes_.find(code)) {
    id = *known;
  } else {
    id = trace_.next_id_++;
    trace_.id_codes_.insert(code, id);
  }
  if (known_names_.insert(full_name).second) trace_.signal_names_.push_back(full_name);
  trace_.vars_.insert_or_assign(std::move(full_name), VcdTrace::VarDecl{std::string(reference), width, id});
}

void VcdParser::on_timestamp(std::string_view line) {
  const std::uint64_t time = parse_u64(trim(line.substr(1))).value_or(0);
  trace_.timestamps_.push_back(time);
  current_index_ = trace_.timestamps_.size() - 1;
  values_enabled_ = true;
}

void VcdParser::record(std::uint32_t id, SignalValue value) {
  columns_.record(id, current_index_, std::move(value));
}

void VcdParser::set_value(std::string_view code, SignalValue value) {
  if (const auto id = trace_.id_codes_.find(code)) record(*id, std::move(value));
}

void VcdParser::finish() {
  // Each index takes the previous index's value (unless Empty) before its
  // own changes, which replace it.
  columns_.build_into(trace_.store_, trace_.timestamps_.size(), ColumnBuilder::Fill::BeforeChanges);
}

void VcdParser::on_value_change(std::string_view line) {
  if (!values_enabled_) return;
  static constexpr std::uint8_t kZ[] = {kLogicZ};
  std::string_view value;
  std::string_view code;
  switch (line.front()) {
    case '0':
    case '1': {
      // Look the code up before building the value: unknown codes cost nothing.
      if (const auto id = trace_.id_codes_.find(line.substr(1))) {
        record(*id, SignalValue::bits(line.front() == '1' ? 1 : 0));
      }
      return;
    }
    case 'x':
    case 'X': return set_value(line.substr(1), SignalValue::empty());
    case 'z':
    case 'Z': {
      if (const auto id = trace_.id_codes_.find(line.substr(1))) record(*id, SignalValue::logic(kZ));
      return;
    }
    case 'b':
    case 'B': {
      if (!split_vector_change(line, value, code)) return;
      if (const auto id = trace_.id_codes_.find(code)) record(*id, parse_binary_str(value));
      return;
    }
    case 'r':
    case 'R':
      if (!split_vector_change(line, value, code)) return;
      return set_value(code, SignalValue::real(parse_f64(value.substr(1)).value_or(0.0)));
    default: return;
  }
}

}  // namespace velk
