// FstTrace::from_file on real files written by Icarus Verilog and vcd2fst,
// checked against the VCD of the same simulation run, plus hostile files.
//
// The VCD and FST formats differ in ways the comparison allows for:
// - a VCD keeps a vector's bit range apart from its name ("result [7:0]" is
//   the reference "result" and the range "[7:0]"), while these writers put the
//   range into the FST variable name; the oracle joins them with a blank;
// - a VCD vector value may be shortened (leading zeros dropped); FST stores
//   every bit, so values are compared as numbers;
// - only fully known values are compared: $dumpoff writes x to every VCD
//   variable, and a VCD scalar x has no numeric reading;
// - an FST value keeps the low 64 bits of a wider vector (Bits), so the
//   100-bit vector is compared on its low 64 bits;
// - Icarus repeats a section's last time as the next section's first time in
//   its FST time table, so that file has more indices than the VCD has times.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>

#include "formats/fst/fst_trace.h"

namespace velk {
namespace {

const std::string kDir = std::string(VELK_TEST_DATA) + "/fst/";
const char* const kVcd2FstFiles[] = {"vcd2fst_lz4.fst", "vcd2fst_fastlz.fst", "vcd2fst_zlib.fst",
                                     "vcd2fst_gzip_wrapped.fst"};

LoadedTrace load(const std::string& name) {
  auto r = FstTrace::from_file(kDir + name);
  EXPECT_TRUE(r.ok()) << name << ": " << r.error().message();
  if (!r.ok()) return LoadedTrace();
  return std::move(r).value();
}

// Minimal VCD reading for the oracle: names, times, and every change.
struct VcdDump {
  struct Change {
    std::uint64_t time;
    std::string value;  // "1010", "x", or "r1.5"
  };
  std::map<std::string, std::vector<std::string>> names_by_code;
  std::map<std::string, std::vector<Change>> changes_by_code;
  std::vector<std::uint64_t> times;
};

VcdDump read_vcd(const std::string& path) {
  VcdDump d;
  std::ifstream in(path);
  std::vector<std::string> scope;
  std::string tok;
  std::uint64_t now = 0;
  while (in >> tok) {
    if (tok == "$scope") {
      std::string kind, name;
      in >> kind >> name >> tok;
      scope.push_back(name);
    } else if (tok == "$upscope") {
      scope.pop_back();
      in >> tok;
    } else if (tok == "$var") {
      std::string kind, width, code, ref, next;
      in >> kind >> width >> code >> ref >> next;
      if (next != "$end") {
        ref += " " + next;
        in >> next;
      }
      std::string full;
      for (const auto& s : scope) full += s + ".";
      d.names_by_code[code].push_back(full + ref);
    } else if (tok[0] == '$') {
      if (tok == "$dumpvars" || tok == "$dumpoff" || tok == "$dumpon" || tok == "$end") continue;
      while (in >> tok && tok != "$end") {
      }
    } else if (tok[0] == '#') {
      now = std::stoull(tok.substr(1));
      if (d.times.empty() || d.times.back() != now) d.times.push_back(now);
    } else if (tok[0] == 'b' || tok[0] == 'r') {
      std::string code;
      in >> code;
      d.changes_by_code[code].push_back({now, tok[0] == 'r' ? tok : tok.substr(1)});
    } else {
      d.changes_by_code[tok.substr(1)].push_back({now, tok.substr(0, 1)});
    }
  }
  return d;
}

// The trace value a fully known VCD value must load as, or nothing.
std::optional<SignalValue> expected_value(const std::string& v) {
  if (v[0] == 'r') return SignalValue::real(std::stod(v.substr(1)));
  std::uint64_t bits = 0;
  for (const char c : v) {
    if (c != '0' && c != '1') return std::nullopt;
    bits = (bits << 1) | (c == '1');
  }
  return SignalValue::bits(bits);
}

void expect_matches_vcd(const LoadedTrace& t, const VcdDump& vcd, const std::string& label) {
  std::size_t vcd_names = 0;
  for (const auto& [code, names] : vcd.names_by_code) vcd_names += names.size();
  EXPECT_EQ(t.signals.names().size(), vcd_names) << label;
  for (const auto time : vcd.times) {
    EXPECT_TRUE(std::binary_search(t.timestamps.begin(), t.timestamps.end(), time)) << label << " " << time;
  }
  std::size_t compared = 0;
  for (const auto& [code, names] : vcd.names_by_code) {
    const auto& changes = vcd.changes_by_code.at(code);
    for (const auto& name : names) {
      ASSERT_TRUE(t.signal_id(name).has_value()) << label << " " << name;
      std::size_t next = 0;
      std::string current = "x";
      for (std::size_t i = 0; i < t.timestamps.size(); ++i) {
        while (next < changes.size() && changes[next].time <= t.timestamps[i]) current = changes[next++].value;
        const auto want = expected_value(current);
        if (!want) continue;
        const SignalValue got = t.signal_value(name, i);
        if (got.tag() == SignalValue::Tag::Real || want->tag() == SignalValue::Tag::Real) {
          EXPECT_EQ(got, *want) << label << " " << name << " @" << t.timestamps[i];
        } else {
          ASSERT_EQ(got.tag(), SignalValue::Tag::Bits) << label << " " << name << " @" << t.timestamps[i];
          EXPECT_EQ(got.as_bits(), want->as_bits()) << label << " " << name << " @" << t.timestamps[i];
        }
        ++compared;
      }
    }
  }
  EXPECT_GT(compared, 5000u) << label;
}

TEST(FstTrace, RealFilesMatchTheVcdOfTheSameRun) {
  const VcdDump vcd = read_vcd(kDir + "iverilog.vcd");
  expect_matches_vcd(load("iverilog.fst"), vcd, "iverilog.fst");
  for (const char* name : kVcd2FstFiles) expect_matches_vcd(load(name), vcd, name);
}

TEST(FstTrace, EveryPackingLoadsTheSameTrace) {
  const LoadedTrace ref = load("vcd2fst_lz4.fst");
  for (const char* name : kVcd2FstFiles) {
    const LoadedTrace t = load(name);
    ASSERT_EQ(t.signals.names(), ref.signals.names()) << name;
    ASSERT_EQ(t.timestamps, ref.timestamps) << name;
    EXPECT_EQ(t.scopes(), ref.scopes()) << name;
    for (const auto& n : ref.signals.names()) {
      EXPECT_EQ(t.signal_width(n), ref.signal_width(n));
      for (std::size_t i = 0; i < ref.timestamps.size(); ++i) {
        ASSERT_EQ(t.signal_value(n, i), ref.signal_value(n, i)) << name << " " << n << " " << i;
      }
    }
  }
}

TEST(FstTrace, NamesScopesAliasesAndWidths) {
  const LoadedTrace t = load("iverilog.fst");
  EXPECT_EQ(t.scopes(), (std::vector<std::string>{"tb", "tb.u_mid", "tb.u_mid.u_leaf"}));
  const auto clk = t.signal_id("tb.clk");
  ASSERT_TRUE(clk);
  EXPECT_EQ(t.signal_id("tb.u_mid.clk"), clk);
  EXPECT_EQ(t.signal_id("tb.u_mid.u_leaf.clk"), clk);
  EXPECT_EQ(t.signal_width("tb.wide [99:0]"), 100u);
  EXPECT_EQ(t.signal_width("tb.data [7:0]"), 8u);
  // Ids are dense in order of first appearance.
  std::uint32_t max_id = 0;
  for (const auto& n : t.signals.names()) max_id = std::max(max_id, *t.signal_id(n));
  EXPECT_EQ(max_id + 1, t.signals.names().size() - 2);
}

TEST(FstTrace, UnknownAndRealValues) {
  const LoadedTrace t = load("iverilog.fst");
  // At time 7 ns nib becomes 10x1 and bit1 z; the bus is all z until 17 ns.
  const auto at = [&](std::uint64_t time) {
    return static_cast<std::size_t>(std::lower_bound(t.timestamps.begin(), t.timestamps.end(), time) -
                                    t.timestamps.begin());
  };
  const SignalValue nib = t.signal_value("tb.nib [3:0]", at(7000));
  ASSERT_EQ(nib.tag(), SignalValue::Tag::Logic);
  EXPECT_EQ(std::vector<std::uint8_t>(nib.levels().begin(), nib.levels().end()),
            (std::vector<std::uint8_t>{1, 0, 2, 1}));
  EXPECT_EQ(t.signal_value("tb.bit1", at(7000)).tag(), SignalValue::Tag::Logic);
  EXPECT_EQ(t.signal_value("tb.bus [7:0]", at(17000)), SignalValue::bits(0xA5));
  EXPECT_EQ(t.signal_value("tb.temperature", at(20000)), SignalValue::real(0.25));
}

TEST(FstTrace, RepeatedSectionTimesLandOnTheFirstIndex) {
  const LoadedTrace t = load("iverilog.fst");
  std::vector<std::size_t> repeats;
  for (std::size_t i = 1; i < t.timestamps.size(); ++i) {
    if (t.timestamps[i] == t.timestamps[i - 1]) repeats.push_back(i);
  }
  ASSERT_EQ(repeats.size(), 3u);  // four sections, three boundaries
  for (const auto i : repeats) {
    for (const auto& n : t.signals.names()) EXPECT_EQ(t.signal_value(n, i), t.signal_value(n, i - 1)) << n << " " << i;
  }
  // The changes at a boundary time are on the first of the two equal
  // indices: it holds what the single-section file holds at that time.
  const LoadedTrace v = load("vcd2fst_lz4.fst");
  for (const auto i : repeats) {
    const std::uint64_t time = t.timestamps[i];
    const auto vi = static_cast<std::size_t>(std::lower_bound(v.timestamps.begin(), v.timestamps.end(), time) -
                                             v.timestamps.begin());
    for (const auto& n : t.signals.names()) EXPECT_EQ(t.signal_value(n, i - 1), v.signal_value(n, vi)) << n;
  }
}

TEST(FstTrace, ConvertValue) {
  using V = fst::FstSignalValue;
  EXPECT_EQ(convert_value(V::of_real(2.5)), SignalValue::real(2.5));
  EXPECT_TRUE(convert_value(V::string("")).is_empty());
  const SignalValue logic = convert_value(V::string("10x1"));
  ASSERT_EQ(logic.tag(), SignalValue::Tag::Logic);
  EXPECT_EQ(std::vector<std::uint8_t>(logic.levels().begin(), logic.levels().end()),
            (std::vector<std::uint8_t>{1, 0, 2, 1}));
  const SignalValue hz = convert_value(V::string("Zh-"));
  EXPECT_EQ(std::vector<std::uint8_t>(hz.levels().begin(), hz.levels().end()), (std::vector<std::uint8_t>{3, 2, 2}));
  EXPECT_EQ(convert_value(V::string("0110")), SignalValue::bits(6));
  EXPECT_EQ(convert_value(V::string(std::string(70, '1'))), SignalValue::bits(~std::uint64_t{0}));
  EXPECT_EQ(convert_value(V::string("1?0")), SignalValue::str("1?0"));
  EXPECT_EQ(convert_value(V::string("U")), SignalValue::str("U"));
}

std::string temp_file(const std::string& name, const std::vector<char>& bytes) {
  // ctest runs the tests of this file as parallel processes: the pid keeps
  // their files apart.
  const std::string path = ::testing::TempDir() + std::to_string(::getpid()) + "_" + name;
  // A new file rather than a truncated one: truncating a written file makes
  // the file system flush it first, which dominates the truncation loops.
  std::remove(path.c_str());
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

std::vector<char> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(FstTrace, OpenAndFormatErrors) {
  const auto missing = FstTrace::from_file(kDir + "no_such.fst");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "Failed to open " + kDir + "no_such.fst: No such file or directory (os error 2)");
  const auto dir = FstTrace::from_file(kDir);
  ASSERT_FALSE(dir.ok());
  EXPECT_EQ(dir.error().message().rfind("Failed to open ", 0), 0u);

  // Header block only: the geometry is missing.
  std::vector<char> f = read_bytes(kDir + "iverilog.fst");
  f.resize(1 + 329);
  EXPECT_EQ(FstTrace::from_file(temp_file("header_only.fst", f)).error().message(),
            "FST open: The FST file is incomplete: geometry block is missing.");
  EXPECT_EQ(FstTrace::from_file(temp_file("empty.fst", {})).error().message(), "FST open: I/O operation failed");
}

TEST(FstTrace, CorruptHierarchyAndSignalsUseTheirPrefixes) {
  // In the vcd2fst files the hierarchy block is last; breaking its
  // compressed body reaches read_hierarchy.
  std::vector<char> f = read_bytes(kDir + "vcd2fst_lz4.fst");
  f[f.size() - 20] = static_cast<char>(f[f.size() - 20] ^ 0xff);
  f[f.size() - 30] = static_cast<char>(f[f.size() - 30] ^ 0xff);
  const auto broken = FstTrace::from_file(temp_file("bad_hier.fst", f));
  ASSERT_FALSE(broken.ok());
  EXPECT_EQ(broken.error().message().rfind("FST hierarchy: ", 0), 0u) << broken.error().message();
  EXPECT_EQ(broken.error().note(), "malformed block at byte 10603 reading the hierarchy block");

  // The first value-change section follows the header; its chains start a
  // little after the frame. Flipping bytes there reaches read_signals.
  std::vector<char> g = read_bytes(kDir + "vcd2fst_zlib.fst");
  for (std::size_t i = 400; i < 440; ++i) g[i] = static_cast<char>(0xff);
  const auto bad = FstTrace::from_file(temp_file("bad_chain.fst", g));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message().rfind("FST signals: ", 0), 0u) << bad.error().message();
  EXPECT_NE(bad.error().note().find("reading a value-change block"), std::string::npos) << bad.error().note();
}

// The message of a truncated file stays "FST open: I/O operation failed"
// wherever the cut falls; the note says where the file ended and what was
// being read.
TEST(FstTrace, TruncatedFileNotesTheOffsetAndTheBlock) {
  const std::vector<char> original = read_bytes(kDir + "iverilog.fst");
  auto note_at = [&](std::size_t len) {
    std::vector<char> cut(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(len));
    const auto r = FstTrace::from_file(temp_file("cut.fst", cut));
    EXPECT_FALSE(r.ok()) << len;
    if (r.ok()) return std::string();
    EXPECT_EQ(r.error().message(), "FST open: I/O operation failed") << len;
    return r.error().note();
  };
  EXPECT_EQ(note_at(0), "unexpected end of file at byte 0 reading the first block type");
  EXPECT_EQ(note_at(5), "unexpected end of file at byte 1 reading the header block");
  EXPECT_EQ(note_at(100), "unexpected end of file at byte 74 reading the header block");
  EXPECT_EQ(note_at(402), "block length past the end of the file at byte 330 reading a value-change block");

  // In a gzip-wrapped file the wrapper is where a cut is met first.
  const std::vector<char> wrapped = read_bytes(kDir + "vcd2fst_gzip_wrapped.fst");
  const auto cut_wrapped =
      FstTrace::from_file(temp_file("cut_wrapped.fst", std::vector<char>(wrapped.begin(), wrapped.begin() + 200)));
  ASSERT_FALSE(cut_wrapped.ok());
  EXPECT_EQ(cut_wrapped.error().message(), "FST open: failed to decompress gzip stream: Buf");
  EXPECT_EQ(cut_wrapped.error().note(), "unexpected end of file at byte 200 reading the gzip wrapper");

  const std::regex shape("(unexpected end of file|block length past the end of the file) at byte ([0-9]+) reading "
                         "(the [a-z ]+|a value-change block)");
  std::size_t io_failures = 0;
  for (std::size_t len = 0; len < original.size(); ++len) {
    std::vector<char> cut(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(len));
    const auto r = FstTrace::from_file(temp_file("cut.fst", cut));
    if (r.ok() || r.error().message() != "FST open: I/O operation failed") continue;
    ++io_failures;
    std::smatch m;
    const std::string note = r.error().note();
    ASSERT_TRUE(std::regex_match(note, m, shape)) << len << ": " << note;
    EXPECT_LE(std::stoull(m[2]), len) << note;
  }
  EXPECT_GT(io_failures, original.size() / 2);
}

// Every truncation and many random corruptions of every real file load or
// fail cleanly, and a failure names the byte offset; run under the sanitizers this also checks memory safety.
TEST(FstTrace, TruncatedAndCorruptedFilesNeverCrash) {
  std::mt19937 rng(12345);
  for (const char* name :
       {"iverilog.fst", "vcd2fst_lz4.fst", "vcd2fst_fastlz.fst", "vcd2fst_zlib.fst", "vcd2fst_gzip_wrapped.fst"}) {
    const std::vector<char> original = read_bytes(kDir + name);
    std::size_t failures = 0;
    for (std::size_t len = 0; len < original.size(); len += 1 + len / 16) {
      std::vector<char> cut(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(len));
      failures += !FstTrace::from_file(temp_file("cut.fst", cut)).ok();
    }
    EXPECT_GT(failures, 0u);
    for (int round = 0; round < 150; ++round) {
      std::vector<char> bad = original;
      const int flips = 1 + static_cast<int>(rng() % 4);
      for (int k = 0; k < flips; ++k) {
        bad[rng() % bad.size()] ^= static_cast<char>(1 << (rng() % 8));
      }
      const auto r = FstTrace::from_file(temp_file("flip.fst", bad));
      if (!r.ok()) {
        EXPECT_EQ(r.error().message().rfind("FST ", 0), 0u) << r.error().message();
        // Every failure but a missing block says where the file went wrong.
        if (r.error().message().find("is incomplete") == std::string::npos) {
          EXPECT_NE(r.error().note().find("at byte "), std::string::npos) << r.error().message();
        }
      }
    }
  }
}

}  // namespace
}  // namespace velk
