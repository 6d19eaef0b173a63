"""PyTrace.from_fst on FST files written by Icarus Verilog and vcd2fst.

The VCD of the same run is the oracle; see tests/cpp/fst/fst_trace_test.cpp for
the differences between the two formats that the comparison allows for (names
carry the bit range in FST, only fully known values are compared, and the
Icarus FST file repeats each section's last time).
"""

import bisect
import sys
import traceback
from pathlib import Path

import pytest

import velk

FST = Path(__file__).resolve().parent.parent / "data" / "fst"
LONG_RUN = Path(__file__).resolve().parent.parent / "data" / "long_run"
REPEATED = Path(__file__).resolve().parent.parent / "data" / "repeated_names"
PACKINGS = ["vcd2fst_lz4.fst", "vcd2fst_fastlz.fst", "vcd2fst_zlib.fst", "vcd2fst_gzip_wrapped.fst"]


@pytest.fixture(scope="module")
def vcd():
    return velk.PyTrace.from_vcd(str(FST / "iverilog.vcd"))


def vcd_name(fst_name):
    # "tb.data [7:0]" in FST is the reference "data" with range "[7:0]" in VCD.
    return fst_name.split(" ")[0]


@pytest.mark.parametrize("name", ["iverilog.fst"] + PACKINGS)
def test_fst_matches_vcd_of_the_same_run(vcd, name):
    trace = velk.PyTrace.from_fst(str(FST / name))
    names = trace.signal_names()
    assert len(names) == len(vcd.signal_names())
    known = set(vcd.signal_names())
    assert all(vcd_name(n) in known or n in known for n in names)
    vcd_times = [vcd.timestamp(i) for i in range(vcd.max_index() + 1)]
    compared = 0
    for i in range(0, trace.max_index() + 1, 3):
        t = trace.timestamp(i)
        j = bisect.bisect_right(vcd_times, t) - 1
        for n in names:
            want = vcd.signal_value(vcd_name(n), j)
            if want is None:
                want = vcd.signal_value(n, j)
            if want is None:
                continue  # not fully known in the VCD
            got = trace.signal_value(n, i)
            if isinstance(want, int):
                want &= (1 << 64) - 1
            assert got == want, (n, t)
            compared += 1
    assert compared > 100


def test_repeated_full_names_keep_their_first_place_in_both_readers():
    # top.a and top.b are declared twice, with other codes and widths, and
    # top.first_alias shares top.a's first code. A VCD name takes its latest
    # declaration; an FST name keeps its first variable, whose handle gives
    # the id (the dropped variables take none).
    vcd = velk.PyTrace.from_vcd(str(REPEATED / "repeated_names.vcd"))
    fst = velk.PyTrace.from_fst(str(REPEATED / "repeated_names.fst"))
    names = ["top.a", "top.b", "top.first_alias", "top.sub.c"]
    assert vcd.signal_names() == names
    assert fst.signal_names() == names

    def shape(trace):
        return {n: (trace.signal_id(n), trace.signal_width(n), trace.transitions(n)) for n in names}

    first_bit = [(1, 0, 1), (2, 1, 0)]
    second_bit = [(1, 1, 0)]
    assert shape(vcd) == {
        "top.a": (2, 4, [(1, 3, 12)]),
        "top.b": (3, 8, [(2, 5, 255)]),
        "top.first_alias": (0, 1, first_bit),
        "top.sub.c": (1, 1, second_bit),
    }
    assert shape(fst) == {
        "top.a": (0, 1, first_bit),
        "top.b": (1, 1, second_bit),
        "top.first_alias": (0, 1, first_bit),
        "top.sub.c": (1, 1, second_bit),
    }


def test_long_run_reads_alike_across_index_blocks():
    # 150,001 indices: every signal's changes lie in several blocks of
    # 65,536 indices, which the VCD and FST loaders fill in different ways.
    vcd = velk.PyTrace.from_vcd_gz(str(LONG_RUN / "long_run.vcd.gz"))
    fst = velk.PyTrace.from_fst(str(LONG_RUN / "long_run.fst"))
    assert vcd.max_index() == fst.max_index() == 150_000
    assert vcd.timestamps_buffer() == fst.timestamps_buffer()
    for name in fst.signal_names():
        assert fst.transitions(name) == vcd.transitions(vcd_name(name)), name
    # The design itself: one step per index, the counter rises on odd steps.
    clk = vcd.transitions("tb.clk")
    assert [i for i, _, _ in clk] == list(range(1, 150_001))
    for i in (65_534, 65_535, 65_536, 65_537, 131_071, 131_072, 150_000):
        assert vcd.signal_value("tb.count", i) == fst.signal_value("tb.count [11:0]", i) == (i + 1) // 2 % 4096
    flag = [vcd.signal_value("tb.flag", i) for i in (0, 131_070, 131_071, 131_072, 131_073, 131_076, 150_000)]
    assert flag == [None, None, 1, 1, None, 0, 0]
    assert vcd.transitions("tb.flag") == [(131_071, None, 1), (131_073, 1, None), (131_076, None, 0)]


def test_aliases_scopes_and_widths():
    trace = velk.PyTrace.from_fst(str(FST / "iverilog.fst"))
    assert trace.scopes() == ["tb", "tb.u_mid", "tb.u_mid.u_leaf"]
    assert trace.signal_id("tb.clk") == trace.signal_id("tb.u_mid.u_leaf.clk")
    assert trace.signal_width("tb.wide [99:0]") == 100
    times = [trace.timestamp(i) for i in range(trace.max_index() + 1)]
    assert times == sorted(times)
    assert len(times) - len(set(times)) == 3  # repeated section boundaries


def test_errors_are_value_errors(tmp_path):
    with pytest.raises(ValueError, match=r"^Failed to open .*no_such\.fst: No such file"):
        velk.PyTrace.from_fst(str(tmp_path / "no_such.fst"))
    header_only = tmp_path / "header_only.fst"
    header_only.write_bytes((FST / "iverilog.fst").read_bytes()[:330])
    with pytest.raises(ValueError, match=r"^FST open: The FST file is incomplete: geometry block is missing\.$"):
        velk.PyTrace.from_fst(str(header_only))
    garbage = tmp_path / "garbage.fst"
    garbage.write_bytes(b"\x09garbage")
    # pytest.raises(match=...) also sees the notes, so the message is checked through args.
    with pytest.raises(ValueError) as err:
        velk.PyTrace.from_fst(str(garbage))
    assert err.value.args == ("FST open: Unexpected block type",)
    assert err.value.__notes__ == ["unexpected value 9 at byte 0 reading the first block type"]


def test_truncated_file_keeps_its_message_and_notes_where_it_ends(tmp_path):
    cut = tmp_path / "cut.fst"
    cut.write_bytes((FST / "iverilog.fst").read_bytes()[:100])
    with pytest.raises(ValueError) as err:
        velk.PyTrace.from_fst(str(cut))
    assert err.value.args == ("FST open: I/O operation failed",)
    assert err.value.__notes__ == ["unexpected end of file at byte 74 reading the header block"]
    if sys.version_info < (3, 11):
        return  # 3.10 keeps __notes__ but its tracebacks do not print them
    # A traceback shows the note under the message.
    shown = "".join(traceback.format_exception(err.value))
    assert "ValueError: FST open: I/O operation failed\nunexpected end of file at byte 74" in shown
