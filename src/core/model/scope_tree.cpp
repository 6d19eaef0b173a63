#include "model/scope_tree.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_set>

namespace velk {
namespace {

// FNV-1a, continued across pieces so that the hash of a path is built from
// its parent's hash without making the path.
constexpr std::uint64_t kFnvStart = 14695981039346656037ull;

std::uint64_t fnv(std::uint64_t h, std::string_view text) {
  for (const char c : text) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ull;
  }
  return h;
}

// Spreads every input bit over the whole word, so that bucket indices
// (taken modulo the table size) see the high bits too.
std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

}  // namespace

std::size_t ScopeTree::PathHash::operator()(std::uint64_t h) const noexcept { return mix(h); }

std::size_t ScopeTree::KeyHash::operator()(const Key& k) const noexcept {
  return mix(fnv(kFnvStart, k.name) ^ k.parent);
}

std::uint32_t ScopeTree::add_node(std::uint32_t parent, std::string_view name) {
  if (nodes_.size() >= kRoot) throw std::length_error("too many scopes");
  std::uint64_t hash = kFnvStart;
  std::uint64_t length = 0;
  if (parent != kRoot) {
    const Node& up = nodes_[parent];
    hash = up.path_length == 0 ? up.path_hash : fnv(up.path_hash, ".");
    length = up.path_length == 0 ? 0 : up.path_length + 1;
  }
  nodes_.push_back(Node{parent, std::string(name), fnv(hash, name), length + name.size()});
  return static_cast<std::uint32_t>(nodes_.size() - 1);
}

std::string ScopeTree::path(std::uint32_t scope) const {
  std::vector<std::uint32_t> chain;
  for (std::uint32_t at = scope; at != kRoot; at = nodes_[at].parent) chain.push_back(at);
  std::string out;
  out.reserve(nodes_[scope].path_length);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!out.empty()) out += '.';
    out += nodes_[*it].name;
  }
  return out;
}

bool ScopeTree::same_path(std::uint32_t a, std::uint32_t b) const { return path(a) == path(b); }

bool ScopeTree::path_listed(std::uint32_t scope) const {
  const auto [first, last] = listed_by_hash_.equal_range(nodes_[scope].path_hash);
  return std::any_of(first, last, [&](const auto& entry) { return same_path(entry.second, scope); });
}

std::uint32_t ScopeTree::enter(std::uint32_t parent, std::string_view name) {
  const auto it = by_key_.find(Key{parent, name});
  if (it != by_key_.end()) return it->second;
  const std::uint32_t id = add_node(parent, name);
  by_key_.emplace(Key{parent, nodes_[id].name}, id);
  if (!path_listed(id)) {
    listed_.push_back(id);
    listed_by_hash_.emplace(nodes_[id].path_hash, id);
  }
  return id;
}

void ScopeTree::list_path(std::string_view path) {
  const std::uint32_t id = add_node(kRoot, path);
  listed_.push_back(id);
  listed_by_hash_.emplace(nodes_[id].path_hash, id);
}

std::vector<std::string> ScopeTree::paths() const {
  std::vector<std::string> out;
  out.reserve(listed_.size());
  for (const std::uint32_t id : listed_) out.push_back(path(id));
  return out;
}

std::vector<std::string> ScopeTree::children_of(std::string_view scope_name) const {
  std::vector<std::string> out;
  std::unordered_set<std::string> seen;
  if (scope_name.empty()) {
    // Paths without a dot: nodes whose name has none, at the top or below
    // an empty path.
    for (const std::uint32_t id : listed_) {
      const Node& n = nodes_[id];
      const bool top = n.parent == kRoot || nodes_[n.parent].path_length == 0;
      if (top && n.name.find('.') == std::string::npos && seen.insert(n.name).second) {
        out.push_back(n.name);
      }
    }
    return out;
  }
  // Each node's path is compared with `prefix` only through the characters
  // its name adds to its parent's path: a node either still matches the
  // first `matched` characters, has left the prefix, or covers all of it,
  // in which case the child it names is fixed by the first node on its
  // branch that got there (descendants name the same child).
  const std::string prefix = std::string(scope_name) + '.';
  enum class State : std::uint8_t { Matching, Dead, Full };
  struct Mark {
    State state;
    std::uint32_t value;  // characters matched, or the index of the child text
  };
  std::vector<Mark> marks(nodes_.size());
  std::vector<std::string> texts;
  const auto extend = [&](std::size_t matched, std::string_view added) -> Mark {
    const std::size_t room = prefix.size() - matched;
    const std::size_t k = std::min(room, added.size());
    if (prefix.compare(matched, k, added.substr(0, k)) != 0) return {State::Dead, 0};
    if (added.size() < room) return {State::Matching, static_cast<std::uint32_t>(matched + added.size())};
    const std::string_view rest = added.substr(room);
    texts.push_back(prefix + std::string(rest.substr(0, rest.find('.'))));
    return {State::Full, static_cast<std::uint32_t>(texts.size() - 1)};
  };
  for (std::size_t id = 0; id < nodes_.size(); ++id) {
    const Node& n = nodes_[id];
    if (n.parent == kRoot) {
      marks[id] = extend(0, n.name);
      continue;
    }
    const Mark up = marks[n.parent];  // parents are always added before their children
    if (up.state != State::Matching) {
      marks[id] = up;
    } else if (nodes_[n.parent].path_length == 0) {
      marks[id] = extend(0, n.name);  // no dot after an empty path
    } else if (prefix[up.value] != '.') {
      marks[id] = {State::Dead, 0};
    } else {
      marks[id] = extend(up.value + 1, n.name);
    }
  }
  for (const std::uint32_t id : listed_) {
    if (marks[id].state != State::Full) continue;
    const std::string& text = texts[marks[id].value];
    if (seen.insert(text).second) out.push_back(text);
  }
  return out;
}

}  // namespace velk
