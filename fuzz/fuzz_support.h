// Shared pieces of the libFuzzer harnesses: handing fuzz bytes to the file
// loaders without touching the disk, and reading back a loaded trace with
// cheap invariants so that the query paths are exercised too.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "model/signal_value.h"
#include "model/trace.h"

namespace velk::fuzz {

// A failed invariant is a finding: print it and abort so libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "invariant failed: %s %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

inline void check(bool ok, const char* what, std::string_view detail = {}) {
  if (!ok) fail(what, detail);
}

// An anonymous in-memory file holding `bytes`, opened by path through
// /proc/self/fd so the loaders take their ordinary file route.
class MemFile {
 public:
  MemFile() : fd_(::memfd_create("velk-fuzz", MFD_CLOEXEC)) {
    if (fd_ < 0) fail("memfd_create");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemFile() { ::close(fd_); }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;

  const std::string& write(const std::uint8_t* data, std::size_t size) {
    if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) fail("memfd reset");
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::write(fd_, data + done, size - done);
      if (n <= 0) fail("memfd write");
      done += static_cast<std::size_t>(n);
    }
    return path_;
  }

 private:
  int fd_;
  std::string path_;
};

// Same variant and payload; reals compare by bit pattern so NaN equals itself.
inline bool same_value(const SignalValue& a, const SignalValue& b) {
  if (a.tag() != b.tag()) return false;
  if (a.tag() != SignalValue::Tag::Real) return a == b;
  const double x = a.as_real(), y = b.as_real();
  return std::memcmp(&x, &y, sizeof x) == 0;
}

// What a second load must reproduce: names, scopes, widths, timestamps and
// the values of every signal at a few indices.
struct Fingerprint {
  std::vector<std::string> names;
  // The scope tree as (parent, name) per node, the listed nodes, and the full
  // paths of a few of them (the first and last four listed: the tree already
  // fixes every path, and each one costs its depth; every full path would
  // cost depth squared).
  std::vector<std::pair<std::uint32_t, std::string>> scope_nodes;
  std::vector<std::uint32_t> listed_scopes;
  std::vector<std::string> scopes;
  std::vector<std::uint32_t> widths;
  std::vector<std::uint64_t> times;
  std::vector<SignalValue> values;

  bool operator==(const Fingerprint& o) const {
    if (names != o.names || scope_nodes != o.scope_nodes || listed_scopes != o.listed_scopes || scopes != o.scopes ||
        widths != o.widths || times != o.times) {
      return false;
    }
    if (values.size() != o.values.size()) return false;
    for (std::size_t i = 0; i < values.size(); ++i)
      if (!same_value(values[i], o.values[i])) return false;
    return true;
  }
};

// The indices worth reading back: both ends, the middle, and one past the end.
inline std::vector<std::size_t> probe_indices(const Trace& trace) {
  const std::size_t last = trace.max_index();
  return {0, last / 2, last, last + 1};
}

// Reads everything a caller could ask for (bounded to a few indices per
// signal) and checks the invariants that hold for every trace kind. VCD
// aliases (two names, one identifier code) share an id; every other reader
// gives each name its own.
inline Fingerprint read_back(const Trace& trace, bool unique_ids = true) {
  Fingerprint fp;
  const NameList& names = trace.signal_names();
  for (const std::string_view name : names) fp.names.emplace_back(name);
  const ScopeTree& tree = trace.scope_tree();
  for (std::uint32_t node = 0; node < tree.size(); ++node) {
    check(tree.parent(node) == ScopeTree::kRoot || tree.parent(node) < node, "scope parent after its child");
    fp.scope_nodes.emplace_back(tree.parent(node), tree.name(node));
  }
  fp.listed_scopes = tree.listed();
  const std::size_t listed = fp.listed_scopes.size();
  for (std::size_t k = 0; k < listed; k = k < 4 || k + 4 >= listed ? k + 1 : listed - 4) {
    fp.scopes.push_back(tree.path(fp.listed_scopes[k]));
  }

  const std::size_t last = trace.max_index();
  const std::size_t probes = std::min<std::size_t>(last + 1, 64);
  for (std::size_t i = 0; i < probes; ++i) fp.times.push_back(trace.timestamp(i));
  fp.times.push_back(trace.timestamp(last));
  check(trace.timestamp(last + 1) == 0, "timestamp past the end is not 0");

  std::unordered_set<std::string_view> seen;
  std::unordered_set<std::uint32_t> ids;
  const auto indices = probe_indices(trace);
  for (const std::string_view name : names) {
    check(seen.insert(name).second, "duplicate signal name", name);
    const auto id = trace.signal_id(name);
    check(id.has_value(), "listed name has no id", name);
    check(ids.insert(*id).second || !unique_ids, "two names share an id", name);
    fp.widths.push_back(trace.signal_width(name));
    for (const std::size_t index : indices) {
      const SignalValue by_name = trace.signal_value(name, index);
      check(same_value(by_name, trace.signal_value_by_id(*id, index)), "value by name differs from value by id",
            name);
      check(same_value(by_name, trace.value_at(*id, index)), "value_at differs from signal_value", name);
      fp.values.push_back(by_name);
    }
    check(trace.value_at(*id, last + 1).is_empty(), "value past the last index is not Empty", name);
    const std::size_t end = std::min<std::size_t>(last + 1, 3);
    const auto range = trace.signal_values_range(name, 0, end);
    check(range.size() == end, "range has the wrong length", name);
    for (std::size_t i = 0; i < end; ++i)
      check(same_value(range[i], trace.signal_value(name, i)), "range differs from single reads", name);
  }
  check(!trace.signal_id("\x01not a signal\x02").has_value(), "unknown name has an id");
  check(trace.signal_value("\x01not a signal\x02", 0).is_empty(), "unknown name has a value");
  return fp;
}

// A deterministic sample of the inputs gets loaded twice: enough to catch a
// reader whose result depends on anything but the bytes, at a quarter of the
// cost of reloading everything.
inline bool reload_this(const std::uint8_t* data, std::size_t size) {
  std::uint32_t h = 2166136261u;
  for (std::size_t i = 0; i < size && i < 64; ++i) h = (h ^ data[i]) * 16777619u;
  return (h & 3u) == 0;
}

}  // namespace velk::fuzz

namespace velk::fuzz {

// Loads `data` through `load` (returning an Expected trace), reads the
// result back, and on a sample of inputs loads again and compares. A load
// error must be a non-empty message and must repeat on the second load.
template <class Load>
void load_and_check(const std::uint8_t* data, std::size_t size, Load load, bool unique_ids = true) {
  auto first = load();
  if (!first.ok()) {
    check(!first.error().message().empty(), "empty error message");
    if (!reload_this(data, size)) return;
    auto again = load();
    check(!again.ok() && again.error().message() == first.error().message(), "second load disagrees on the error");
    return;
  }
  const Fingerprint fp = read_back(first.value(), unique_ids);
  if (!reload_this(data, size)) return;
  auto again = load();
  check(again.ok(), "second load failed", again.ok() ? "" : again.error().message());
  check(read_back(again.value(), unique_ids) == fp, "second load gives a different trace");
}

}  // namespace velk::fuzz
