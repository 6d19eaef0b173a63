#!/bin/sh
# Regenerates the FST test files from design.v with black-box writers:
# Icarus Verilog (VCD and FST of the same run) and vcd2fst in each packing.
# Run from this directory: sh make_fst_files.sh
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

iverilog -o "$work/sim.vvp" design.v
# The design dumps to out.dump; vvp -fst makes that an FST file.
(cd "$work" && vvp -n sim.vvp -fst >/dev/null && mv out.dump iverilog.fst)
(cd "$work" && vvp -n sim.vvp >/dev/null && mv out.dump iverilog.vcd)
cp "$work/iverilog.fst" "$work/iverilog.vcd" .

vcd2fst -4 iverilog.vcd vcd2fst_lz4.fst >/dev/null
vcd2fst -F iverilog.vcd vcd2fst_fastlz.fst >/dev/null
vcd2fst -Z iverilog.vcd vcd2fst_zlib.fst >/dev/null
vcd2fst -c iverilog.vcd vcd2fst_gzip_wrapped.fst >/dev/null

