#include "formats/wlf/wlf_trace.h"

#include <algorithm>

#include "model/column_builder.h"
#include "model/derived_scopes.h"
#include "formats/scan/scan.h"

namespace velk {
namespace wlf {
namespace {

constexpr std::size_t kNameAreaEndOffset = 2;
constexpr std::size_t kExpectedCountOffset = 24;
constexpr std::size_t kFirstStringOffset = 40;
constexpr std::size_t kHeaderStrings = 3;
// Without a trustworthy expected count, page 0 still yields up to this many names.
constexpr std::size_t kMinNameCap = 1000;
// Pages 1..3 may continue the name list.
constexpr std::size_t kNamePagesEnd = 4;

constexpr std::size_t kValueBodyOffset = 16;
constexpr std::size_t kMaxValueBody = kPageSize - kValueBodyOffset;
// An FF FF page with little content is a stray marker, not a value page.
constexpr std::size_t kMinValuePageNonZero = 16;

constexpr std::uint8_t kPad = 0x00;
constexpr std::uint8_t kTimeStep = 0xFF;

Bytes page(Bytes data, std::size_t index) { return data.subspan(index * kPageSize, kPageSize); }

bool starts_ff_ff(Bytes p) { return p[0] == 0xFF && p[1] == 0xFF; }

bool is_value_page(Bytes p) {
  if (!starts_ff_ff(p)) return false;
  const auto non_zero = std::count_if(p.begin(), p.end(), [](std::uint8_t b) { return b != 0; });
  return static_cast<std::size_t>(non_zero) >= kMinValuePageNonZero;
}

// Adds each identifier not yet known while fewer than `cap` names exist.
void accept_names(LoadedTrace& trace, Bytes bytes, std::size_t cap) {
  for (auto& name : extract_identifiers(bytes)) {
    if (trace.signals.size() >= cap) return;
    trace.add_signal(std::move(name), 1);
  }
}

void names_from_page0(LoadedTrace& trace, Bytes data, std::size_t cap) {
  const std::size_t area_end = std::min<std::size_t>(*read_u16_be(data, kNameAreaEndOffset), kPageSize);
  std::size_t cursor = kFirstStringOffset;
  for (std::size_t i = 0; i < kHeaderStrings; ++i) read_lpstr(data, cursor);
  if (cursor < area_end) accept_names(trace, data.subspan(cursor, area_end - cursor), cap);
}

void names_from_following_pages(LoadedTrace& trace, Bytes data, std::size_t pages, std::size_t cap) {
  for (std::size_t i = 1; i < std::min(pages, kNamePagesEnd); ++i) {
    const Bytes p = page(data, i);
    if (!starts_ff_ff(p)) accept_names(trace, p, cap);
  }
}

// Grows the time axis to `count` entries; each time equals its index.
void ensure_timestamps(LoadedTrace& trace, std::size_t count) {
  while (trace.timestamps.size() < count) trace.timestamps.push_back(trace.timestamps.size());
}

// Walks one value page's record stream. `t` is the current time index, which
// carries over from page to page.
void decode_value_page(LoadedTrace& trace, ColumnBuilder& columns, Bytes p, std::size_t& t) {
  const std::size_t n = std::min<std::size_t>(*read_u16_be(p, 2), kMaxValueBody);
  if (n < 2) return;
  const Bytes body = p.subspan(kValueBodyOffset, n);
  const std::size_t names = trace.signals.size();
  std::size_t k = 0;
  while (k + 1 < n) {
    const std::uint8_t b = body[k];
    if (b == kPad) {
      ++k;
    } else if (b == kTimeStep) {
      ensure_timestamps(trace, t + 2);
      ++t;
      ++k;
    } else if (b < names) {
      ensure_timestamps(trace, t + 1);
      columns.record(b, t, SignalValue::bits(body[k + 1]));
      k += 2;
    } else {
      ++k;  // an id outside the name list
    }
  }
}

void decode_values(LoadedTrace& trace, Bytes data, std::size_t pages) {
  trace.timestamps = {0};
  std::size_t t = 0;
  ColumnBuilder columns;
  for (std::size_t i = 1; i < pages; ++i) {
    const Bytes p = page(data, i);
    if (is_value_page(p)) decode_value_page(trace, columns, p, t);
  }
  columns.build_into(trace.store, trace.timestamps.size(), ColumnBuilder::Fill::AfterChanges);
}

}  // namespace

std::string read_lpstr(Bytes data, std::size_t& cursor) {
  const std::size_t limit = std::min(data.size(), kPageSize);
  if (cursor >= limit) return {};
  const std::size_t n = data[cursor];
  ++cursor;
  if (n == 0 || !in_bounds(limit, cursor, n)) return {};
  const Bytes text = data.subspan(cursor, n);
  if (!std::all_of(text.begin(), text.end(), [](std::uint8_t b) { return b >= 0x20 && b <= 0x7E; })) {
    return {};
  }
  cursor += n;
  return std::string(as_text(text));
}

Expected<LoadedTrace> parse(Bytes data) {
  if (data.size() < kPageSize) return too_small_error("WLF file too small (< 1 page)", data.size(), "page 0");
  const std::size_t pages = data.size() / kPageSize;
  const std::size_t expected = *read_u16_be(data, kExpectedCountOffset);
  const std::size_t cap = std::max(expected, kMinNameCap);

  LoadedTrace trace;
  names_from_page0(trace, data, cap);
  if (trace.signals.size() < expected) names_from_following_pages(trace, data, pages, cap);
  decode_values(trace, data, pages);
  list_derived_scopes(trace);
  return trace;
}

}  // namespace wlf

Expected<LoadedTrace> WlfTrace::from_file(const std::string& path) { return parse_file(path, wlf::parse); }

}  // namespace velk
