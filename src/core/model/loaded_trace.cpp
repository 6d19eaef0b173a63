#include "model/loaded_trace.h"


namespace velk {

std::optional<std::uint32_t> LoadedTrace::add_signal(std::string name, std::uint32_t width) {
  if (name_to_id.contains(name)) return std::nullopt;
  const auto id = static_cast<std::uint32_t>(name_to_id.size());
  name_to_id.emplace(name, id);
  widths.emplace(name, width);
  signal_names_.push_back(std::move(name));
  return id;
}

std::size_t LoadedTrace::max_index() const { return timestamps.empty() ? 0 : timestamps.size() - 1; }

std::uint64_t LoadedTrace::timestamp(std::size_t index) const {
  return index < timestamps.size() ? timestamps[index] : 0;
}

std::optional<std::uint32_t> LoadedTrace::signal_id(std::string_view name) const {
  const auto it = name_to_id.find(name);
  if (it == name_to_id.end()) return std::nullopt;
  return it->second;
}

SignalValue LoadedTrace::signal_value(std::string_view name, std::size_t index) const {
  const auto id = signal_id(name);
  return id ? store.get(*id, index) : SignalValue();
}

std::uint32_t LoadedTrace::signal_width(std::string_view name) const {
  const auto it = widths.find(name);
  return it == widths.end() ? unknown_width : it->second;
}

std::vector<SignalValue> LoadedTrace::signal_values_range(std::string_view name, std::size_t start,
                                                          std::size_t end) const {
  const auto id = signal_id(name);
  if (!id) return std::vector<SignalValue>(end > start ? end - start : 0);
  return store.get_range(*id, start, end);
}

SignalValue LoadedTrace::signal_value_by_id(std::uint32_t id, std::size_t index) const {
  return store.get(id, index);
}

}  // namespace velk
