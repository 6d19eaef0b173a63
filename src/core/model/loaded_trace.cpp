#include "model/loaded_trace.h"


namespace velk {

std::optional<std::uint32_t> LoadedTrace::add_signal(std::string_view name, std::uint32_t width) {
  if (signals.find(name) != nullptr) return std::nullopt;
  const auto id = static_cast<std::uint32_t>(signals.size());
  signals.append(name, {id, width});
  return id;
}

std::size_t LoadedTrace::max_index() const { return timestamps.empty() ? 0 : timestamps.size() - 1; }

std::uint64_t LoadedTrace::timestamp(std::size_t index) const {
  return index < timestamps.size() ? timestamps[index] : 0;
}

std::optional<std::uint32_t> LoadedTrace::signal_id(std::string_view name) const {
  const SignalTable::Entry* entry = signals.find(name);
  if (entry == nullptr) return std::nullopt;
  return entry->id;
}

SignalValue LoadedTrace::signal_value(std::string_view name, std::size_t index) const {
  const auto id = signal_id(name);
  return id ? store.get(*id, index) : SignalValue();
}

std::uint32_t LoadedTrace::signal_width(std::string_view name) const {
  const SignalTable::Entry* entry = signals.find(name);
  return entry == nullptr ? unknown_width : entry->width;
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
