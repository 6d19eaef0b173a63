// The block-parallel VCD reader against the line-at-a-time reference parser,
// on random messy dumps, for every thread count and for block sizes that put
// a block boundary at every kind of line; and the gzip input path.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>

#include "formats/vcd/vcd_loader.h"
#include "formats/vcd/vcd_reference_parser.h"
#include "formats/vcd/vcd_trace.h"

namespace velk {
namespace {

using testing::ReferenceVcd;

// Equal values, a NaN real counting as equal to a NaN real.
bool same(const SignalValue& a, const SignalValue& b) {
  if (a.tag() == SignalValue::Tag::Real && b.tag() == SignalValue::Tag::Real && a.as_real() != a.as_real()) {
    return b.as_real() != b.as_real();
  }
  return a == b;
}

void expect_matches_reference(const LoadedTrace& trace, const ReferenceVcd& ref, const std::string& what) {
  ASSERT_EQ(std::vector<std::string>(trace.signal_names().begin(), trace.signal_names().end()), ref.names) << what;
  ASSERT_EQ(trace.scopes(), ref.scopes) << what;
  ASSERT_EQ(trace.timestamps, ref.timestamps) << what;
  for (const auto& name : ref.names) {
    ASSERT_EQ(trace.signal_width(name), ref.widths.at(name)) << what << " " << name;
    ASSERT_EQ(trace.signal_id(name), ref.ids.at(name)) << what << " " << name;
  }
  // By id, so that codes whose name was taken over by a later declaration count too.
  for (std::uint32_t id = 0; id < ref.id_count() + 2; ++id) {
    for (std::size_t k = 0; k < ref.timestamps.size() + 2; ++k) {
      ASSERT_TRUE(same(trace.signal_value_by_id(id, k), ref.value(id, k))) << what << " id " << id << " @" << k;
    }
  }
}

// A dump with every kind of line, well-formed or not, in random order:
// declarations among the values, changes before the first timestamp, CRLF,
// white space of every kind, invalid UTF-8, keyword blocks, odd timestamps.
std::string messy_dump(std::mt19937& rng) {
  const std::vector<std::string> codes = {"!", "\"", "#", "%a", "xy", "b", "r1", "&&", "abc", "!!!", "~", "\xC3\xA9"};
  const auto pick = [&](const auto& v) { return v[rng() % v.size()]; };
  const auto nl = [&] { return rng() % 4 == 0 ? std::string("\r\n") : std::string("\n"); };
  const auto space = [&] {
    static const std::vector<std::string> spaces = {"", " ", "\t", "  ", "\xC2\xA0", "\xE2\x80\x83", "\v"};
    return pick(spaces);
  };
  const auto bits = [&](std::size_t n, const char* alphabet) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += alphabet[rng() % std::strlen(alphabet)];
    return s;
  };
  std::string out;
  const auto line = [&](const std::string& s) { out += space() + s + space() + nl(); };
  const auto declaration = [&] {
    switch (rng() % 6) {
      case 0: line("$scope module " + pick(std::vector<std::string>{"top", "cpu", "a.b", "a", "b", "\xC3\xA9t"}) + " $end"); break;
      case 1: line("$upscope $end"); break;
      case 2: line("$scope module"); break;
      default: {
        const std::vector<std::string> widths = {"1", "4", "+8", "70", "junk", "99999999999", "64"};
        const std::vector<std::string> refs = {"clk", "data[3:0]", "bus", "v", "data[1]", "r"};
        line("$var wire " + pick(widths) + " " + pick(codes) + " " + pick(refs) + (rng() % 3 ? " $end" : ""));
      }
    }
  };
  for (int i = 0; i < 6; ++i) declaration();
  if (rng() % 2) line("$enddefinitions $end");
  std::uint64_t t = 0;
  const int lines = 20 + static_cast<int>(rng() % 300);
  for (int i = 0; i < lines; ++i) {
    const unsigned kind = rng() % 100;
    if (kind < 15) {
      line("#" + std::to_string(t += rng() % 3));
    } else if (kind < 17) {
      line(pick(std::vector<std::string>{"#abc", "#", "# 12", "#+7", "#5 1!", "#99999999999999999999999"}));
    } else if (kind < 45) {
      line(std::string(1, "01xXzZ"[rng() % 6]) + pick(codes));
    } else if (kind < 65) {
      const std::size_t n = rng() % 3 ? 1 + rng() % 12 : 60 + rng() % 20;
      line(std::string(rng() % 2 ? "b" : "B") + bits(n, rng() % 4 ? "01" : "01xz-") + " " + space() + pick(codes));
    } else if (kind < 72) {
      const std::vector<std::string> reals = {"1.5e3", "-2", "abc", "inf", "NaN", ".5", "1e999"};
      line(std::string(rng() % 2 ? "r" : "R") + pick(reals) + " " + pick(codes));
    } else if (kind < 77) {
      declaration();
    } else if (kind < 84) {
      line(pick(std::vector<std::string>{"$dumpvars", "$end", "$dumpoff", "$dumpon", "$dumpall", "$comment",
                                         "some words", "$date", "sfoo !", "b1010", "b", "r1.0", "$end $end"}));
    } else if (kind < 88) {
      out += nl();  // an empty line
    } else if (kind < 92) {
      line("1" + pick(codes) + "\xFF");  // invalid UTF-8: an empty line
    } else if (kind < 95) {
      line("b10\xC3\xA9" "1 " + pick(codes));  // a multi-byte character in a bit string
    } else {
      line("0" + pick(codes) + " trailing");
    }
  }
  if (rng() % 2) out += "1!";  // a last line without a line feed
  return out;
}

// The code a writer gives signal i: printable characters in base 94, the
// first character the lowest digit.
std::string printable_code(int i) {
  std::string code;
  do {
    code += static_cast<char>('!' + i % 94);
    i /= 94;
  } while (i > 0);
  return code;
}

TEST(VcdLoader, MatchesReferenceForAnyThreadCountAndBlockSize) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 150; ++round) {
    const std::string text = messy_dump(rng);
    const ReferenceVcd ref(text);
    for (const unsigned threads : {1u, 2u, 3u, 5u}) {
      for (const std::size_t block : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{61},
                                      std::size_t{1000}, std::size_t{1} << 20}) {
        const LoadedTrace trace = load_vcd_text(text, {threads, block});
        expect_matches_reference(trace, ref,
                                 "round " + std::to_string(round) + " threads " + std::to_string(threads) +
                                     " block " + std::to_string(block));
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }
}

// A long dump whose declarations all come first, the shape the parallel path
// is for, with now and then a declaration among the values.
TEST(VcdLoader, LongDumpWithLateDeclarations) {
  std::mt19937 rng(7);
  std::string text = "$scope module top $end\n";
  for (int i = 0; i < 50; ++i) text += "$var wire " + std::to_string(i % 3 ? 1 : 16) + " s" + std::to_string(i) + " sig" + std::to_string(i) + " $end\n";
  text += "$upscope $end\n$enddefinitions $end\n$dumpvars\n";
  for (int i = 0; i < 50; ++i) text += (i % 3 ? "x" : "bxxxx ") + std::string("s") + std::to_string(i) + "\n";
  text += "$end\n";
  for (int step = 0; step < 20000; ++step) {
    text += "#" + std::to_string(step * 10) + "\n";
    for (int k = 0; k < 4; ++k) {
      const int i = static_cast<int>(rng() % 60);  // codes s50.. are declared later, or never
      const std::string code = "s" + std::to_string(i);
      text += (i % 3 ? std::string(1, "01"[rng() % 2]) + code : "b" + std::to_string(rng() % 2) + "1 " + code) + "\n";
    }
    if (step % 5000 == 4999) text += "$var wire 1 s" + std::to_string(50 + step / 5000) + " late" + std::to_string(step) + " $end\n";
  }
  const ReferenceVcd ref(text);
  for (const unsigned threads : {1u, 2u, 4u}) {
    expect_matches_reference(load_vcd_text(text, {threads, 4096}), ref, "threads " + std::to_string(threads));
  }
}

// Many signals (codes of one or two characters, of three to seven and of
// more, so that every table of codes serves) with few changes each, busy and
// quiet ones mixed, and
// values of every kind: the store is split over the threads by signal, and
// a block with far more signals than changes is grouped by sorting.
TEST(VcdLoader, ManySignalsSplitOverThreads) {
  std::mt19937 rng(5);
  constexpr int kSignals = 3000;
  const auto code_of = [](int i) {
    if (i % 11 == 0) return "long_code_" + std::to_string(i);
    if (i % 7 == 0) return "L" + std::to_string(i);
    return printable_code(i);
  };
  std::string text = "$scope module top $end\n";
  for (int i = 0; i < kSignals; ++i) {
    text += "$var wire " + std::string(i % 4 ? "1" : "64") + " " + code_of(i) + " s" + std::to_string(i) + " $end\n";
  }
  text += "$upscope $end\n$enddefinitions $end\n";
  for (int step = 0; step < 600; ++step) {
    text += "#" + std::to_string(step) + "\n";
    for (int k = 0, n = static_cast<int>(rng() % 12); k < n; ++k) {
      // A few busy signals, the rest touched now and then.
      const int i = rng() % 3 ? static_cast<int>(rng() % 40) : static_cast<int>(rng() % kSignals);
      const std::string code = code_of(i);
      switch (rng() % 6) {
        case 0: text += "x" + code + "\n"; break;
        case 1: text += "z" + code + "\n"; break;
        case 2: text += "b1x0 " + code + "\n"; break;
        case 3: text += "r2.5 " + code + "\n"; break;
        case 4: text += "b" + std::to_string(rng() % 2) + std::string(rng() % 70, '1') + " " + code + "\n"; break;
        default: text += std::string(1, "01"[rng() % 2]) + code + "\n";
      }
    }
  }
  const ReferenceVcd ref(text);
  for (const unsigned threads : {1u, 2u, 3u}) {
    for (const std::size_t block : {std::size_t{1024}, std::size_t{1} << 20}) {
      expect_matches_reference(load_vcd_text(text, {threads, block}), ref,
                               "threads " + std::to_string(threads) + " block " + std::to_string(block));
    }
  }
}

// A big design's shape: more signals than the first blocks hold the
// declarations of (so the store is split only once values come), codes of
// three characters, names declared twice, and blocks that touch thousands of
// signals once each (so the join fetches their state ahead).
TEST(VcdLoader, BigDesignWithFewChangesPerSignal) {
  std::mt19937 rng(9);
  constexpr int kSignals = 12000;
  const auto code_of = printable_code;
  std::string text = "$scope module top $end\n";
  for (int i = 0; i < kSignals; ++i) {
    if (i % 100 == 0) text += "$scope module u" + std::to_string(i / 100) + " $end\n";
    // Every 500th name is declared again later, with another code and width.
    text += "$var wire " + std::string(i % 5 ? "1" : "16") + " " + code_of(i) + " s" + std::to_string(i % 100) + " $end\n";
    if (i % 100 == 99) text += "$upscope $end\n";
  }
  for (int i = 0; i < kSignals; i += 500) {
    text += "$scope module u" + std::to_string(i / 100) + " $end\n$var wire 8 " + code_of(kSignals + i) + " s" +
            std::to_string(i % 100) + " $end\n$upscope $end\n";
  }
  text += "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";
  for (int i = 0; i < kSignals + kSignals / 500; ++i) text += (i % 5 ? "x" : "bx ") + code_of(i < kSignals ? i : kSignals + (i - kSignals) * 500) + "\n";
  text += "$end\n";
  for (int step = 1; step <= 12; ++step) {
    text += "#" + std::to_string(step * 10) + "\n";
    for (int k = 0; k < 6000; ++k) {
      const int i = static_cast<int>(rng() % kSignals);
      text += (i % 5 ? std::string(1, "01"[rng() % 2]) : "b" + std::to_string(rng() % 2) + "01 ") + code_of(i) + "\n";
    }
  }
  const ReferenceVcd ref(text);
  for (const unsigned threads : {1u, 2u, 3u}) {
    for (const std::size_t block : {std::size_t{64} << 10, std::size_t{1} << 20}) {
      expect_matches_reference(load_vcd_text(text, {threads, block}), ref,
                               "threads " + std::to_string(threads) + " block " + std::to_string(block));
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

std::filesystem::path temp_file(const std::string& name) {
  return std::filesystem::temp_directory_path() / ("velk_vcdload_" + std::to_string(::getpid()) + "_" + name);
}

std::string gzip(const std::string& text, int level = 6) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, text.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST(VcdGzip, LoadsTheSameAsThePlainText) {
  std::mt19937 rng(3);
  std::string text;
  while (text.size() < (3u << 20)) text += messy_dump(rng);
  const auto path = temp_file("same.vcd.gz");
  write_file(path, gzip(text));
  const auto loaded = VcdTrace::from_gzip_file(path.string());
  ASSERT_TRUE(loaded.ok()) << loaded.error().message();
  expect_matches_reference(loaded.value(), ReferenceVcd(text), "gzip");
  EXPECT_EQ(loaded.value().signal_width("no such name"), 0u);

  // Concatenated members read as one stream (what `cat a.gz b.gz` makes).
  const std::size_t half = text.find('\n', text.size() / 2) + 1;
  write_file(path, gzip(text.substr(0, half)) + gzip(text.substr(half), 1));
  const auto joined = VcdTrace::from_gzip_file(path.string());
  ASSERT_TRUE(joined.ok()) << joined.error().message();
  expect_matches_reference(joined.value(), ReferenceVcd(text), "two members");
  std::filesystem::remove(path);
}

TEST(VcdGzip, BrokenStreamsAreCleanErrors) {
  std::string text = "$var wire 8 ! v $end\n";
  for (int i = 0; i < 20000; ++i) text += "#" + std::to_string(i) + "\nb" + std::to_string(i % 2) + "0110 !\n";
  const std::string packed = gzip(text);
  const auto path = temp_file("broken.vcd.gz");
  const std::string prefix = "Failed to decompress " + path.string() + ": ";

  // Cut anywhere: inside the header, the data or the trailer.
  for (const std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{5}, std::size_t{10}, packed.size() / 3,
                                packed.size() - 8, packed.size() - 1}) {
    write_file(path, packed.substr(0, cut));
    const auto loaded = VcdTrace::from_gzip_file(path.string());
    ASSERT_FALSE(loaded.ok()) << "cut at " << cut;
    EXPECT_EQ(loaded.error().message(), prefix + "truncated gzip stream") << "cut at " << cut;
  }
  // A flipped byte in the data or in the checksum.
  for (const std::size_t at : {packed.size() / 2, packed.size() - 6}) {
    std::string bad = packed;
    bad[at] = static_cast<char>(bad[at] ^ 0x5A);
    write_file(path, bad);
    const auto loaded = VcdTrace::from_gzip_file(path.string());
    ASSERT_FALSE(loaded.ok()) << "flip at " << at;
    EXPECT_TRUE(loaded.error().message().starts_with(prefix + "corrupt gzip stream")) << loaded.error().message();
  }
  // Plain text is not gzip.
  write_file(path, text);
  const auto plain = VcdTrace::from_gzip_file(path.string());
  ASSERT_FALSE(plain.ok());
  EXPECT_EQ(plain.error().message(), prefix + "corrupt gzip stream: incorrect header check");

  std::filesystem::remove(path);
  const auto missing = VcdTrace::from_gzip_file(path.string());
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "Failed to open " + path.string() + ": No such file or directory (os error 2)");
}

// Nesting costs time and memory linear in the input: no path is rebuilt per
// scope line, and re-entering a deep path finds it by (parent, name).
TEST(VcdLoader, DeepNestingStaysLinear) {
  std::string text;
  constexpr int kDepth = 40000;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < kDepth; ++i) text += "$scope module s $end\n";
    text += "$var wire 1 ! leaf $end\n";
    for (int i = 0; i < kDepth; ++i) text += "$upscope $end\n";
  }
  text += "#0\n1!\n";
  const LoadedTrace trace = VcdTrace::parse(text);
  // Listing every path would take kDepth^2 bytes: check the tree instead.
  const ScopeTree& scopes = trace.scope_tree();
  ASSERT_EQ(scopes.listed().size(), static_cast<std::size_t>(kDepth));
  EXPECT_EQ(scopes.path(scopes.listed().back()).size(), 2u * kDepth - 1);
  EXPECT_EQ(scopes.children_of("s.s"), std::vector<std::string>{"s.s.s"});
  ASSERT_EQ(trace.signal_names().size(), 1u);
  EXPECT_EQ(trace.signal_value_by_id(0, 0), SignalValue::bits(1));
}

// A line of many megabytes is read whole once, not copied per block.
TEST(VcdLoader, VeryLongLines) {
  std::string text = "$var wire 1 ! a $end\n$var wire 8 \" v $end\n#0\n1!\n";
  text += "$comment " + std::string(6u << 20, 'c') + " $end\n";
  text += "b" + std::string(3u << 20, '1') + " \"\n#1\n0!\n";
  const auto path = temp_file("long.vcd");
  write_file(path, text);
  for (const unsigned threads : {1u, 2u}) {
    const auto loaded = VcdTrace::read_file(path.string(), {threads, 4096});
    ASSERT_TRUE(loaded.ok());
    expect_matches_reference(loaded.value(), ReferenceVcd(text), "long lines");
  }
  std::filesystem::remove(path);
}

// A line past the limit ends the load with a Limit error where it starts,
// after reading no more than about the limit: a file or a device with no
// line feed, or a small gzip stream of gigabytes of one line, is never held
// whole. A line at the limit still loads.
TEST(VcdLoader, LinesPastTheLimitAreRefusedNotHeld) {
  constexpr std::size_t kLimit = 1u << 16;
  const VcdLoadOptions options{2, 4096, kLimit};
  const std::string head = "$var wire 1 ! a $end\n#0\n1!\n";
  const std::string tail = "\n#1\n0!\n";
  const auto path = temp_file("limit.vcd");

  const std::string fits = head + "$comment " + std::string(kLimit - 9, 'c') + tail;
  write_file(path, fits);
  const auto loaded = VcdTrace::read_file(path.string(), options);
  ASSERT_TRUE(loaded.ok()) << loaded.error().message();
  expect_matches_reference(loaded.value(), ReferenceVcd(fits), "a line at the limit");

  write_file(path, head + std::string(kLimit + 1, 'x') + tail);
  const auto refused = VcdTrace::read_file(path.string(), options);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), Error::Kind::Limit);
  EXPECT_EQ(refused.error().message(), "Failed to read " + path.string() + ": a line is longer than 65536 bytes");
  EXPECT_EQ(refused.error().note(), "at byte " + std::to_string(head.size()));

  // Many megabytes of one line from a few kilobytes of gzip: refused at the limit.
  std::string zeros(8u << 20, '\0');
  write_file(path, gzip(zeros));
  zeros = {};
  const auto bomb = VcdTrace::read_gzip_file(path.string(), {2, 4096, 1u << 20});
  ASSERT_FALSE(bomb.ok());
  EXPECT_EQ(bomb.error().message(), "Failed to read " + path.string() + ": a line is longer than 1 MiB");
  EXPECT_EQ(bomb.error().note(), "at byte 0 reading the decompressed text");
  std::filesystem::remove(path);

  // A source that never ends (a device) ends the load all the same.
  class Endless final : public ByteSource {
   public:
    std::size_t read(char* out, std::size_t capacity) override {
      std::memset(out, 'x', capacity);
      return capacity;
    }
  } endless;
  const auto endless_load = load_vcd(endless, options);
  ASSERT_FALSE(endless_load.ok());
  EXPECT_EQ(endless_load.error().message(), "a line is longer than 65536 bytes");
}

}  // namespace
}  // namespace velk
