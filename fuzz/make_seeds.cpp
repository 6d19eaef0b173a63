// Writes the hand-built seed inputs of every harness: make_seeds OUT_DIR
// creates OUT_DIR/<harness>/<name> for each seed. The files checked in under
// fuzz/corpus/ are this program's output; real dumps from tests/data are
// added to the corpora by scripts/fuzz.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "formats/fst/fst_builder.h"
#include "support/closed_format_files.h"
#include "support/fsdb_file.h"

namespace {

using velk::fst::testing::Buf;
namespace fs = std::filesystem;
namespace ft = velk::fst::testing;
namespace vt = velk::testing;

fs::path g_out;

void save(const std::string& harness, const std::string& name, const Buf& bytes) {
  const fs::path dir = g_out / harness;
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
void save(const std::string& harness, const std::string& name, const std::string& text) {
  save(harness, name, Buf(text.begin(), text.end()));
}

using vt::put_be32;
using vt::put_le32;
using vt::append;
void append_strings(Buf& b, std::initializer_list<std::string> items) {
  for (const auto& s : items) {
    b.insert(b.end(), s.begin(), s.end());
    b.push_back(0);
  }
}
Buf leb(std::uint64_t v) {
  Buf out;
  velk::testing::append_uleb128(out, v);
  return out;
}

// ---------------------------------------------------------------- VCD

void vcd_seeds() {
  save("vcd", "basic.vcd",
       "$timescale 1ns $end\n$scope module top $end\n$var wire 1 ! clk $end\n$var wire 8 \" bus [7:0] $end\n"
       "$var real 64 # r $end\n$var string 1 $ s $end\n$scope module sub $end\n$var reg 4 % nib [3:0] $end\n"
       "$upscope $end\n$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n0!\nbx \"\nr0.5 #\nsidle $\nb10z1 %\n$end\n"
       "#5\n1!\nb1010 \"\n#10\n0!\nr-1e3 #\nsbusy $\n#15\nU!\nb0 %\n");
  save("vcd", "aliases_and_comments.vcd",
       "$comment any text $end\n$date today $end\n$version v $end\n$scope module a $end\n$var wire 1 ! x $end\n"
       "$var wire 1 ! y $end\n$upscope $end\n$scope begin b $end\n$var wire 3 \" x [2:0] $end\n$upscope $end\n"
       "$enddefinitions $end\n#0\n1!\nb101 \"\n#3\n$dumpoff\nx!\n$end\n#7\n$dumpon\n0!\nb1 \"\n#7\nz!\n");
  save("vcd", "no_header.vcd", "#1\n1!\n#2\n0!\n");
}

// ---------------------------------------------------------------- FST

Buf fst_file(std::uint8_t hierarchy_type, bool nested) {
  Buf entries;
  append(entries, ft::scope_entry("top"));
  append(entries, ft::var_entry(0, "clk", 1));
  append(entries, ft::var_entry(0, "bus", 8));
  if (nested) {
    append(entries, ft::scope_entry("sub", 1));
    append(entries, ft::var_entry(0, "clk", 0, 1));  // alias of the first signal
    append(entries, ft::var_entry(3, "r", 8));
    append(entries, ft::upscope_entry());
  }
  append(entries, ft::upscope_entry());
  const std::uint32_t signals = nested ? 3 : 2;

  ft::Section s;
  s.type = 8;
  s.start = 0;
  s.end = 20;
  s.times = {0, 10, 20};
  s.frame = Buf{'0'};
  for (int i = 0; i < 8; ++i) s.frame.push_back('x');
  if (nested) s.frame.insert(s.frame.end(), 8, 0);
  s.frame_signals = signals;
  s.vc_signals = signals;
  s.pack = 'Z';
  Buf clk;
  velk::testing::append_uleb128(clk, (1u << 1) | 1);  // time index delta 1, value 1
  velk::testing::append_uleb128(clk, (1u << 1) | 0);
  s.chains = {ft::stored_chain(clk)};
  Buf table;
  velk::testing::append_uleb128(table, (1u << 1) | 1);  // chain of signal 0 at offset 1 (length follows)
  velk::testing::append_uleb128(table, clk.size() + 1);
  velk::testing::append_uleb128(table, 0);  // no chain for the rest
  if (nested) velk::testing::append_uleb128(table, 0);
  s.offset_table = table;

  Buf file;
  append(file, ft::header_block(0, 20));
  append(file, ft::section_block(s));
  std::vector<std::uint32_t> geometry = {1, 8};
  if (nested) geometry.push_back(0);
  append(file, ft::geometry_block(geometry));
  append(file, ft::hierarchy_block(entries, hierarchy_type));
  return file;
}

void fst_seeds() {
  save("fst", "hand_gzip_hierarchy.fst", fst_file(4, true));
  save("fst", "hand_lz4_hierarchy.fst", fst_file(6, false));
  save("fst", "hand_lz4x2_hierarchy.fst", fst_file(7, true));
}

// ---------------------------------------------------------------- FSDB

// Names of the kind the reader keeps, padded to a name block's eleven strings.
Buf fsdb_names(int count) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) names.push_back("top.u" + std::to_string(i % 3) + ".n" + std::to_string(i));
  return vt::fsdb_name_block(names);
}

void fsdb_seeds() {
  constexpr std::uint32_t kModern = 0x1C3ED948;
  const Buf codes = {0x01, 0x0A, 0x05, 0x2A, 0x27, 0x38, 0x05, 0x00, 0x00, 0x00};
  const Buf region = {0x02, 0x07, 0x85, 0x00, 0x01, 0x09, 0x41, 0x00, 0x00, 0x05};
  const Buf widths = {0x01, 0x00, 0x43, 0x00, 0x00, 0x01, 0x00, 0x78, 0x02, 0, 0, 0, 0x01, 0x00, 0x6A, 0x21};
  save("fsdb", "codes_pairs_offsets.fsdb",
       vt::FsdbFile(kModern).stream(fsdb_names(7)).table_block(vt::fsdb_data_block({1, 2, 3, 0, 7, 2}, region, codes))
           .widths(widths).build());
  const Buf mode1 = {0x01, 0x0A, 0x02, 0x0B, 0x09, 0x08, 0x00, 0x0D, 0x03, 0x0C, 0x05, 0x08, 0x40, 0x00, 0x04, 0x30};
  const Buf mode1_codes = {0x41, 0x42, 0x00, 0x00, 0x00};
  save("fsdb", "chunks_and_clock.fsdb",
       vt::FsdbFile(kModern).stream(fsdb_names(5)).table_block(vt::fsdb_data_block({0, 0, 0, 0}, mode1, mode1_codes))
           .build());
  Buf end_block;
  for (const auto v : {2u, 0u, 0u, 3u}) append(end_block, leb(v));
  append(end_block, Buf{0, 0, 0, 0, 0, 0, 0x01, 0x05, 0x02, 0x06});
  append(end_block, vt::kFsdbEndMark);
  save("fsdb", "end_mark_scanned_block.fsdb", vt::FsdbFile(kModern).stream(fsdb_names(3)).stream(end_block).build());
  Buf legacy(300, 0);
  put_be32(legacy, 4, 0xFDE099C1);
  append_strings(legacy, {"top.clk", "top.cpu.pc", "simv", "0xff", "top.cpu.pc"});
  save("fsdb", "legacy.fsdb", legacy);
  Buf tail(400, 0);
  put_be32(tail, 4, 0x1C3ED948);
  tail.resize(4200, 0);
  tail.push_back(0x02);
  append_strings(tail, {"top.a", "top.b", "bad-name"});
  tail.push_back(0x01);
  save("fsdb", "tail_fallback.fsdb", tail);
}

// ---------------------------------------------------------------- WLF, VPD, SHM

void closed_seeds() {
  save("wlf", "pages.wlf", vt::wlf_seed());
  save("vpd", "sections.vpd", vt::vpd_seed());
  const std::string sep = "%TRN";
  const Buf dsn = vt::dsn_seed(), trn = vt::trn_seed();
  Buf both = dsn;
  append(both, Buf(sep.begin(), sep.end()));
  append(both, trn);
  save("shm", "design_and_transitions", both);
  Buf two = both;
  append(two, Buf(sep.begin(), sep.end()));
  append(two, trn);
  save("shm", "two_transition_files", two);
  save("shm", "design_only", dsn);
}

// ---------------------------------------------------------------- decompressors

// Mode byte, claimed length (LE u32), pack byte, piece.
Buf piece(std::uint8_t mode, std::uint32_t claimed, std::uint8_t pack, const Buf& body) {
  Buf b{mode, 0, 0, 0, 0, pack};
  put_le32(b, 1, claimed);
  append(b, body);
  return b;
}

void decompress_seeds() {
  Buf plain;
  for (int i = 0; i < 300; ++i) plain.push_back(static_cast<std::uint8_t>("velk fuzz seed "[i % 15]));
  const auto n = static_cast<std::uint32_t>(plain.size());
  save("decompress", "zlib_stored", piece(0, 5, 0, Buf{'h', 'e', 'l', 'l', 'o'}));
  save("decompress", "zlib", piece(1, n, 0, ft::zlib_compress(plain)));
  save("decompress", "raw_deflate", piece(2, n, 0, ft::raw_deflate(plain)));
  Buf gz = ft::gzip_member_header();
  append(gz, ft::raw_deflate(plain));
  save("decompress", "gzip", piece(3, n, 0, gz));
  save("decompress", "lz4", piece(4, n, 0, ft::lz4_compress(plain)));
  save("decompress", "fastlz1", piece(5, 6, 0, Buf{0x02, 'a', 'b', 'c', 0x20, 0x02}));
  save("decompress", "fastlz2", piece(6, 600, 1, Buf{0x22, 'a', 'b', 'c', 0xE0, 0xFF, 0xFF, 0x04, 0x02, 0x20, 0x02,
                                                     0x3F, 0xFF, 0x00, 0x01}));
  Buf chain = leb(n);
  append(chain, ft::lz4_compress(plain));
  save("decompress", "chain_lz4", piece(7, 0, '4', chain));
  Buf zchain = leb(n);
  append(zchain, ft::zlib_compress(plain));
  save("decompress", "chain_zlib", piece(7, 0, 'Z', zchain));
  save("decompress", "chain_stored", piece(7, 0, 'F', Buf{0, 1, 2, 3}));
  save("decompress", "round_trip", piece(8, 0, 2, plain));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds OUT_DIR\n");
    return 2;
  }
  g_out = argv[1];
  vcd_seeds();
  fst_seeds();
  fsdb_seeds();
  closed_seeds();
  decompress_seeds();
  return 0;
}
