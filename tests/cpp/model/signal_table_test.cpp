// The signal table against an ordered list and a standard map driven with the
// same random names: registration order, lookups of known and unknown
// names, entries changed in place, and names listed without an entry.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/signal_table.h"

namespace velk {
namespace {

TEST(SignalTable, FindsWhatAMapFinds) {
  std::mt19937 rng(11);
  for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{63}, std::size_t{5000}}) {
    SignalTable table;
    std::vector<std::string> names;
    std::vector<bool> listed_only;
    std::unordered_map<std::string, SignalTable::Entry> map;
    // Names that share long prefixes, differ in one byte, are empty or hold
    // NUL bytes: only the text decides.
    const auto random_name = [&] {
      switch (rng() % 4) {
        case 0: return "top.cpu.core" + std::to_string(rng() % (count + 1));
        case 1: return std::string(rng() % 3, '\0') + std::to_string(rng() % 50);
        case 2: return std::string(rng() % 40, 'a' + static_cast<char>(rng() % 3));
        default: return std::to_string(rng());
      }
    };
    for (std::size_t i = 0; i < count; ++i) {
      std::string name = random_name();
      const SignalTable::Entry entry{static_cast<std::uint32_t>(rng()), static_cast<std::uint32_t>(rng() % 128)};
      if (SignalTable::Entry* known = table.find(name)) {
        ASSERT_TRUE(map.contains(name)) << name;
        *known = entry;  // taken over by a later declaration
        map[name] = entry;
      } else if (rng() % 16 == 0) {
        names.push_back(name);
        listed_only.push_back(true);
        table.list_only(std::move(name));
      } else {
        ASSERT_FALSE(map.contains(name)) << name;
        names.push_back(name);
        listed_only.push_back(false);
        map.emplace(name, entry);
        table.append(std::move(name), entry);
      }
    }
    ASSERT_EQ(table.names(), names);
    ASSERT_EQ(table.size(), names.size());
    for (std::size_t place = 0; place < names.size(); ++place) {
      const auto it = map.find(names[place]);
      const SignalTable::Entry* found = table.find(names[place]);
      if (listed_only[place]) {
        // Found only once registered at another place.
        EXPECT_EQ(found != nullptr, it != map.end()) << names[place];
        EXPECT_TRUE(found == nullptr || found != &table.at(place)) << names[place];
        continue;
      }
      ASSERT_NE(found, nullptr) << names[place];
      EXPECT_EQ(found, &table.at(place));
      EXPECT_EQ(found->id, it->second.id);
      EXPECT_EQ(found->width, it->second.width);
    }
    for (int i = 0; i < 2000; ++i) {
      const std::string name = random_name() + "!";
      EXPECT_EQ(table.find(name) != nullptr, map.contains(name)) << name;
    }
  }
}

}  // namespace
}  // namespace velk
