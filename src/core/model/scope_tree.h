// The scopes of a trace, kept as a tree of (parent, name) nodes.
//
// A dump that nests scopes N deep would need on the order of N * N bytes to
// hold every full dotted path, so paths are made only when asked for. Nodes
// are found by hash on (parent, name), so registering a scope costs the
// length of its name, however deep it sits.
//
// The tree also keeps the scope listing that Trace::scopes() reports: the
// full paths in the order the reader registered them. Readers that build the
// hierarchy list each distinct path once, in first-seen order; readers that
// only know flat path texts list them as given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velk {

class ScopeTree {
 public:
  // The parent of top-level scopes.
  static constexpr std::uint32_t kRoot = UINT32_MAX;

  // The scope `name` inside `parent` (kRoot for the top level), added when
  // new. A new scope is listed unless an already listed scope has the same
  // full path (possible only with names that contain dots).
  std::uint32_t enter(std::uint32_t parent, std::string_view name);
  // Lists `path` as given (a new top-level node named by the whole text),
  // without looking for an equal one: for readers that only know path texts.
  void list_path(std::string_view path);

  std::size_t size() const noexcept { return nodes_.size(); }
  std::uint32_t parent(std::uint32_t scope) const noexcept { return nodes_[scope].parent; }
  const std::string& name(std::uint32_t scope) const noexcept { return nodes_[scope].name; }
  // Full path of a node (O(depth)): the names joined by dots, where a dot
  // follows only a non-empty text (so empty names add nothing).
  std::string path(std::uint32_t scope) const;
  // The listed nodes, in listing order.
  const std::vector<std::uint32_t>& listed() const noexcept { return listed_; }
  // The listed full paths, in listing order.
  std::vector<std::string> paths() const;

  // Full paths one level below `scope_name` (the top level for ""), each
  // once, in order of first appearance among the listed paths, read as
  // texts: a listed path that begins with scope_name + "." names the child
  // up to its next dot. Linear in the number of nodes and the length of
  // their names.
  std::vector<std::string> children_of(std::string_view scope_name) const;

 private:
  struct Node {
    std::uint32_t parent;
    std::string name;
    std::uint64_t path_hash;    // hash of the full path, for finding equal paths
    std::uint64_t path_length;  // length of the full path
  };
  struct Key {
    std::uint32_t parent;
    std::string_view name;  // views the node's name
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& k) const noexcept;
  };

  std::uint32_t add_node(std::uint32_t parent, std::string_view name);
  bool same_path(std::uint32_t a, std::uint32_t b) const;
  bool path_listed(std::uint32_t scope) const;

  // A deque keeps every node (and so the names the keys view) in place.
  std::deque<Node> nodes_;
  std::vector<std::uint32_t> listed_;
  std::unordered_map<Key, std::uint32_t, KeyHash> by_key_;
  struct PathHash {
    std::size_t operator()(std::uint64_t h) const noexcept;
  };
  std::unordered_multimap<std::uint64_t, std::uint32_t, PathHash> listed_by_hash_;
};

}  // namespace velk
