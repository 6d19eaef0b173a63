// An opened FST file: the input plus everything opening collected. The
// hierarchy and the value changes are decoded on request and handed to
// callbacks entry by entry.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "formats/fst/fst_input.h"
#include "formats/fst/fst_types.h"
#include "formats/fst/hierarchy.h"
#include "formats/fst/reader_error.h"

namespace velk::fst {

// Which values read_signals reports.
struct FstFilter {
  std::uint64_t start = 0;
  std::optional<std::uint64_t> end;  // the header's end time when absent
  std::optional<std::vector<FstSignalHandle>> include;  // all signals when absent
};

using HierarchyCallback = std::function<void(const FstHierarchyEntry&)>;
using SignalCallback = std::function<void(std::uint64_t time, FstSignalHandle, const FstSignalValue&)>;

class FstReader {
 public:
  // Walks every block once. With `read_time_table`, also concatenates the time
  // tables of all value-change sections.
  static Expected<FstReader> open(FstInput input, bool read_time_table);

  const Header& header() const { return meta_.header; }
  const MetaData& metadata() const { return meta_; }
  const std::vector<SignalInfo>& signals() const { return meta_.signals; }
  const std::optional<std::vector<std::uint64_t>>& time_table() const { return meta_.time_table; }
  // The input, for decoders that read the sections in their own order.
  FstInput& input() { return input_; }

  // Calls `callback` once per hierarchy entry, in file order.
  Status read_hierarchy(const HierarchyCallback& callback);
  // Calls `callback` once per value of every selected signal, in time order
  // within each section, section after section.
  Status read_signals(const FstFilter& filter, const SignalCallback& callback);

 private:
  Status decode_hierarchy(const HierarchyCallback& callback);
  // `e` with its offset qualified when the input is a gzip-wrapped file's
  // unwrapped contents.
  Error placed(Error e) const;
  FstReader(FstInput input, MetaData meta, bool unwrapped)
      : input_(std::move(input)), meta_(std::move(meta)), unwrapped_(unwrapped) {}

  FstInput input_;
  MetaData meta_;
  bool unwrapped_;
};

}  // namespace velk::fst
