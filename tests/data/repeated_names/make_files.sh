#!/bin/sh
# Regenerates repeated_names.fst from repeated_names.vcd with vcd2fst: a
# dump that declares full names twice, with other codes and widths.
# Run from this directory: sh make_files.sh
set -eu
vcd2fst repeated_names.vcd repeated_names.fst >/dev/null
