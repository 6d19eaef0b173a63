#!/bin/sh
# Regenerates the long run's VCD (kept as gzip: it is a few megabytes of
# text) and its FST from long_run.v, with Icarus Verilog and vcd2fst.
# Run from this directory: sh make_files.sh
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

iverilog -o "$work/long.vvp" long_run.v
(cd "$work" && vvp -n long.vvp >/dev/null && mv out.dump long_run.vcd)
vcd2fst "$work/long_run.vcd" long_run.fst >/dev/null
gzip -9 -n -c "$work/long_run.vcd" > long_run.vcd.gz
