#include "model/derived_scopes.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace velk {
namespace {

// The prefixes of the names as a trie of dot-separated pieces. A prefix is a
// node's path: the pieces from the top joined by dots. The one exception is
// the empty prefix a leading dot makes: it has no children, and the prefixes
// under it are top-level pieces that keep their leading dot (".a" for the name
// ".a.b"), because a path joins a dot only after a non-empty text.
class PrefixTrie {
 public:
  static constexpr std::uint32_t kTop = 0;

  PrefixTrie() { nodes_.push_back(Node{kTop, {}, {}}); }

  void add_name(std::string_view name) {
    std::uint32_t at = kTop;
    std::size_t start = 0;
    for (std::size_t dot = name.find('.'); dot != std::string_view::npos; dot = name.find('.', start)) {
      const std::string_view piece = name.substr(start, dot - start);
      at = leads_with_empty(at) ? glued_child(piece) : child(at, piece);
      start = dot + 1;
    }
  }

  // Calls list(parent, name) for every node in byte order of the paths,
  // with `parent` the value list returned for the node's parent (`top` for
  // the top level). Iterative: the trie can be as deep as a name is long.
  template <class List>
  void visit_sorted(std::uint32_t top, List list) const {
    std::vector<std::uint32_t> listed_as(nodes_.size(), top);
    struct Frame {
      std::vector<Item> items;
      std::size_t next = 0;
    };
    std::vector<Frame> stack;
    stack.push_back(Frame{sorted_items(kTop), 0});
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next == frame.items.size()) {
        stack.pop_back();
        continue;
      }
      const Item item = frame.items[frame.next++];
      if (item.subtree) {
        stack.push_back(Frame{sorted_items(item.node), 0});  // invalidates `frame`
        continue;
      }
      const Node& n = nodes_[item.node];
      listed_as[item.node] = list(listed_as[n.parent], n.name);
    }
  }

 private:
  struct Node {
    std::uint32_t parent;
    std::string_view name;
    std::vector<std::uint32_t> children;
  };
  // A child's own path (name) or the paths below it (name + "." + ...): the
  // two sort apart when a sibling's name sorts between them ("a" < "a-b" <
  // "a.c").
  struct Item {
    std::uint32_t node;
    bool subtree;
  };
  struct Key {
    std::uint32_t parent;
    std::string_view name;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& k) const noexcept {
      return std::hash<std::string_view>{}(k.name) ^ (std::size_t{k.parent} * 0x9E3779B97F4A7C15ull);
    }
  };

  bool leads_with_empty(std::uint32_t at) const {
    return at != kTop && nodes_[at].parent == kTop && nodes_[at].name.empty();
  }

  std::uint32_t child(std::uint32_t parent, std::string_view name) {
    const auto [it, added] = by_key_.try_emplace(Key{parent, name}, static_cast<std::uint32_t>(nodes_.size()));
    if (added) {
      nodes_.push_back(Node{parent, name, {}});
      nodes_[parent].children.push_back(it->second);
    }
    return it->second;
  }

  std::uint32_t glued_child(std::string_view piece) {
    std::string glued(1, '.');
    glued += piece;
    if (const auto it = by_key_.find(Key{kTop, glued}); it != by_key_.end()) return it->second;
    return child(kTop, glued_.emplace_back(std::move(glued)));
  }

  // Byte order of name (+ "." for a subtree) between two items.
  bool item_less(const Item& a, const Item& b) const {
    const std::string_view x = nodes_[a.node].name;
    const std::string_view y = nodes_[b.node].name;
    const std::size_t common = std::min(x.size(), y.size());
    if (const int c = x.substr(0, common).compare(y.substr(0, common)); c != 0) return c < 0;
    const std::size_t x_size = x.size() + a.subtree;
    const std::size_t y_size = y.size() + b.subtree;
    for (std::size_t i = common; i < std::min(x_size, y_size); ++i) {
      const unsigned char cx = i < x.size() ? static_cast<unsigned char>(x[i]) : '.';
      const unsigned char cy = i < y.size() ? static_cast<unsigned char>(y[i]) : '.';
      if (cx != cy) return cx < cy;
    }
    return x_size < y_size;
  }

  std::vector<Item> sorted_items(std::uint32_t parent) const {
    std::vector<Item> items;
    for (const std::uint32_t c : nodes_[parent].children) {
      items.push_back({c, false});
      if (!nodes_[c].children.empty()) items.push_back({c, true});
    }
    std::sort(items.begin(), items.end(), [this](const Item& a, const Item& b) { return item_less(a, b); });
    return items;
  }

  std::vector<Node> nodes_;
  std::unordered_map<Key, std::uint32_t, KeyHash> by_key_;
  std::deque<std::string> glued_;  // names of the glued pieces, kept in place for the views
};

}  // namespace

void list_derived_scopes(LoadedTrace& trace) {
  PrefixTrie trie;
  for (const std::string_view name : trace.signals.names()) trie.add_name(name);
  trie.visit_sorted(ScopeTree::kRoot, [&](std::uint32_t parent, std::string_view name) {
    return trace.scope_tree_.enter(parent, name);
  });
}

}  // namespace velk
