// The line-at-a-time VCD parser that the block-parallel reader replaced, kept
// as the reference: it applies every line in order to a dense grid (one slot
// per signal and index, carried forward as each timestamp line opens an
// index), the plainest reading of the loading rules.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io/text.h"
#include "model/bitpack.h"
#include "model/signal_value.h"

namespace velk::testing {

class ReferenceVcd {
 public:
  explicit ReferenceVcd(std::string_view text) {
    while (!text.empty()) {
      const std::size_t nl = text.find('\n');
      std::string_view line = text.substr(0, nl);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      feed_line(line);
      if (nl == std::string_view::npos) break;
      text.remove_prefix(nl + 1);
    }
  }

  std::vector<std::string> names;
  std::vector<std::string> scopes;
  std::map<std::string, std::uint32_t> widths;
  std::map<std::string, std::uint32_t> ids;
  std::vector<std::uint64_t> timestamps;

  SignalValue value(std::uint32_t id, std::size_t index) const {
    if (id >= grid_.size() || index >= grid_[id].size()) return SignalValue();
    return grid_[id][index];
  }
  std::size_t id_count() const { return codes_.size(); }

 private:
  void feed_line(std::string_view raw) {
    if (!is_valid_utf8(raw)) return;
    const std::string_view line = trim(raw);
    if (line.empty()) return;
    if (line.starts_with("$scope")) return on_scope(line);
    if (line.starts_with("$upscope")) {
      if (!stack_.empty()) stack_.pop_back();
      return;
    }
    if (line.starts_with("$var")) return on_var(line);
    if (line.front() == '#') return on_timestamp(line);
    if (enabled_) on_value_change(line);
  }

  std::string joined() const {
    std::string path;
    for (std::size_t i = 0; i < stack_.size(); ++i) path += (i ? "." : "") + stack_[i];
    return path;
  }

  void on_scope(std::string_view line) {
    Tokens tokens(line);
    tokens.next();
    tokens.next();
    const auto name = tokens.next();
    if (!name) return;
    stack_.emplace_back(*name);
    const std::string path = joined();
    for (const auto& s : scopes) {
      if (s == path) return;
    }
    scopes.push_back(path);
  }

  void on_var(std::string_view line) {
    Tokens tokens(line);
    std::string_view f[5];
    for (auto& field : f) {
      const auto t = tokens.next();
      if (!t) return;
      field = *t;
    }
    std::string_view reference = f[4].substr(0, f[4].find('['));
    const std::string full = stack_.empty() ? std::string(reference) : joined() + "." + std::string(reference);
    const std::string code(f[3]);
    if (!codes_.count(code)) codes_.emplace(code, static_cast<std::uint32_t>(codes_.size()));
    bool known = false;
    for (const auto& n : names) known = known || n == full;
    if (!known) names.push_back(full);
    widths[full] = parse_u32(f[2]).value_or(1);
    ids[full] = codes_.at(code);
  }

  void on_timestamp(std::string_view line) {
    timestamps.push_back(parse_u64(trim(line.substr(1))).value_or(0));
    enabled_ = true;
    const std::size_t index = timestamps.size() - 1;
    for (auto& column : grid_) {
      if (index > 0 && column.size() == index && !column[index - 1].is_empty()) {
        column.push_back(column[index - 1]);
      }
    }
  }

  void set(std::string_view code, SignalValue v) {
    const auto it = codes_.find(std::string(code));
    if (it == codes_.end()) return;
    if (grid_.size() <= it->second) grid_.resize(it->second + 1);
    auto& column = grid_[it->second];
    const std::size_t index = timestamps.size() - 1;
    if (column.size() <= index) column.resize(index + 1);
    column[index] = std::move(v);
  }

  void on_value_change(std::string_view line) {
    static constexpr std::uint8_t kZ[] = {kLogicZ};
    const char c = line.front();
    if (c == '0' || c == '1') return set(line.substr(1), SignalValue::bits(c == '1'));
    if (c == 'x' || c == 'X') return set(line.substr(1), SignalValue());
    if (c == 'z' || c == 'Z') return set(line.substr(1), SignalValue::logic(kZ));
    if (c != 'b' && c != 'B' && c != 'r' && c != 'R') return;
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) return;
    const std::string_view value = line.substr(0, space);
    const std::string_view code = trim(line.substr(space + 1));
    if (c == 'b' || c == 'B') return set(code, parse_binary_str(value));
    set(code, SignalValue::real(parse_f64(value.substr(1)).value_or(0.0)));
  }

  std::map<std::string, std::uint32_t> codes_;
  std::vector<std::string> stack_;
  std::vector<std::vector<SignalValue>> grid_;
  bool enabled_ = false;
};

}  // namespace velk::testing
