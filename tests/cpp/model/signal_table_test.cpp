// The signal table against a model made of a list and a standard map, driven
// with the same random names: registration order, lookups of known and
// unknown names, entries changed in place, names listed without an entry,
// and names appended unsettled, whose repeats settle as lookups would have.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/signal_table.h"

namespace velk {
namespace {

bool operator==(const SignalTable::Entry& a, const SignalTable::Entry& b) { return a.id == b.id && a.width == b.width; }

// What the table should hold: every name in order, the entry of each
// registered one, and where each registered name is.
struct Model {
  std::vector<std::string> names;
  std::vector<std::optional<SignalTable::Entry>> entries;  // none: listed only
  std::unordered_map<std::string, std::size_t> places;

  void add(const std::string& name, std::optional<SignalTable::Entry> entry) {
    if (entry) places.emplace(name, names.size());
    names.push_back(name);
    entries.push_back(entry);
  }
  // A repeat keeps its first place, and its first entry or takes the latest.
  void add_or_update(const std::string& name, SignalTable::Entry entry, bool keep_first = false) {
    if (const auto it = places.find(name); it != places.end()) {
      if (!keep_first) entries[it->second] = entry;
    } else {
      add(name, entry);
    }
  }
};

void expect_same(const SignalTable& table, const Model& model, std::mt19937& rng,
                 const std::function<std::string()>& random_name) {
  ASSERT_EQ(table.names(), model.names);
  ASSERT_EQ(table.size(), model.names.size());
  for (std::size_t place = 0; place < model.names.size(); ++place) {
    const std::string& name = model.names[place];
    const SignalTable::Entry* found = table.find(name);
    const auto it = model.places.find(name);
    ASSERT_EQ(found != nullptr, it != model.places.end()) << name;
    if (found == nullptr) continue;
    EXPECT_EQ(found, &table.at(it->second)) << name;
    EXPECT_TRUE(*found == *model.entries[it->second]) << name;
  }
  for (int i = 0; i < 500; ++i) {
    const std::string name = random_name() + (rng() % 2 ? "!" : "");
    EXPECT_EQ(table.find(name) != nullptr, model.places.contains(name)) << name;
  }
}

TEST(SignalTable, HoldsWhatAListAndAMapHold) {
  std::mt19937 rng(11);
  for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{63}, std::size_t{5000},
                                  std::size_t{40000}}) {
    // Each table settles repeats one way, as each reader does.
    const bool keep_first = count % 2 == 1;
    const auto rule = keep_first ? SignalTable::Repeats::KeepFirstEntry : SignalTable::Repeats::TakeLatestEntry;
    SignalTable table;
    Model model;
    // Names that share long prefixes, differ in one byte, are empty or hold
    // NUL bytes, and repeat often: only the text decides.
    const std::function<std::string()> random_name = [&] {
      switch (rng() % 4) {
        case 0: return "top.cpu.core" + std::to_string(rng() % (count + 1));
        case 1: return std::string(rng() % 3, '\0') + std::to_string(rng() % 50);
        case 2: return std::string(rng() % 40, static_cast<char>('a' + rng() % 3));
        default: return std::to_string(rng());
      }
    };
    // Runs of one way of adding names at a time, as readers add them.
    for (std::size_t i = 0; i < count;) {
      const unsigned way = rng() % 4;
      // Names wait to be settled only while more come the same way.
      if (way != 0) table.settle_repeats(rule);
      for (std::size_t run = 1 + rng() % 200; run > 0 && i < count; --run, ++i) {
        std::string name = random_name();
        const SignalTable::Entry entry{static_cast<std::uint32_t>(rng()), static_cast<std::uint32_t>(rng() % 128)};
        if (way == 0) {
          model.add_or_update(name, entry, keep_first);
          table.append_unsettled(std::move(name), entry);
        } else if (way == 1 && rng() % 8 == 0) {
          model.add(name, std::nullopt);
          table.list_only(std::move(name));
        } else if (SignalTable::Entry* known = table.find(name)) {
          *known = entry;  // taken over by a later declaration
          model.add_or_update(name, entry);
        } else if (!model.places.contains(name)) {
          // Not registered, nor waiting among the unsettled names.
          model.add(name, entry);
          table.append(std::move(name), entry);
        }
      }
      if (rng() % 3 == 0) table.settle_repeats(rule);
    }
    table.settle_repeats(rule);
    expect_same(table, model, rng, random_name);
    if (::testing::Test::HasFatalFailure()) return;
    // Registering one at a time waits for the unsettled names to settle.
    table.append_unsettled("late", {1, 1});
    EXPECT_THROW(table.append("other", {2, 2}), std::logic_error);
    EXPECT_THROW(table.list_only("other"), std::logic_error);
  }
}

}  // namespace
}  // namespace velk
