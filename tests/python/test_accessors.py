"""The accessor methods of PyTrace."""

import math

import pytest

from velk import PyTrace

TEXT = """$scope module top $end
$var wire 8 ! a $end
$var wire 1 " b $end
$scope module cpu $end
$var wire 4 # pc $end
$var real 1 $ temp $end
$upscope $end
$upscope $end
$var wire 64 % big $end
$var wire 3 & lg $end
$enddefinitions $end
#0
b101 !
1"
b1x0z #
r-2.5 $
b1111111111111111111111111111111111111111111111111111111111111111 %
b101 &
#10
b11111111 !
0"
rnan $
#25
bx !
"""


@pytest.fixture(scope="module")
def trace():
    return PyTrace.from_vcd_string(TEXT)


def test_forwarding_methods(trace):
    assert trace.signal_names() == ["top.a", "top.b", "top.cpu.pc", "top.cpu.temp", "big", "lg"]
    assert trace.scopes() == ["top", "top.cpu"]
    assert trace.max_index() == 2
    assert [trace.timestamp(i) for i in range(4)] == [0, 10, 25, 0]
    assert trace.signal_value("top.a", 1) == 255
    assert trace.signal_value("top.a", 2) is None
    assert trace.signal_value("top.cpu.pc", 0) is None  # Logic
    assert trace.signal_value("top.cpu.temp", 0) == -2.5
    assert math.isnan(trace.signal_value("top.cpu.temp", 1))
    assert trace.signal_value("big", 2) == 2**64 - 1
    assert trace.signal_value("nope", 0) is None
    assert trace.signal_value("top.a", 99) is None
    assert trace.signal_width("top.cpu.pc") == 4
    assert trace.signal_id("top.b") == 1 and trace.signal_id("nope") is None
    assert trace.signal_values_range("top.b", 0, 3) == [1, 0, 0]
    assert trace.signal_values_range("top.b", 2, 5) == [0, None, None]
    assert trace.signal_values_range("top.b", 5, 2) == []
    assert trace.signal_values_range("nope", 2, 5) == [None] * 3


def test_signal_value_raw(trace):
    assert trace.signal_value_raw("top.a", 1) == 255
    assert trace.signal_value_raw("top.a", 2) == 0  # Empty
    assert trace.signal_value_raw("top.cpu.pc", 0) == 0  # X/Z
    assert trace.signal_value_raw("top.cpu.temp", 0) == 0  # negative real saturates
    assert trace.signal_value_raw("nope", 0) == 0


def test_bit_slice_val(trace):
    assert trace.bit_slice_val(0xAB, 7, 4) == 0xA
    assert trace.bit_slice_val(0xAB, 3, 4) == 0
    assert trace.bit_slice_val(2**64 - 1, 63, 0) == 2**64 - 1
    assert trace.bit_slice_val(0xAB, 71, 68) == 0xA
    assert trace.bit_slice_val(0b100000, 5, 5) == 1
    assert trace.bit_slice_val(val=0xF0, high=2**64 - 1, low=0) == 0xF0


def test_sign_extend_val(trace):
    assert trace.sign_extend_val(0xF, 4) == -1
    assert trace.sign_extend_val(0x7, 4) == 7
    assert trace.sign_extend_val(0x1D, 4) == -3
    assert trace.sign_extend_val(0xF5, 4) == 245
    assert trace.sign_extend_val(2**64 - 1, 64) == -1
    assert trace.sign_extend_val(5, 0) == 5
    assert trace.sign_extend_val(2**63, 0) == -(2**63)


def test_snapshots(trace):
    snap = trace.snapshot(1)
    assert math.isnan(snap.pop("top.cpu.temp"))
    assert snap == {"top.a": 255, "top.b": 0, "top.cpu.pc": None, "big": 2**64 - 1, "lg": 5}
    assert set(trace.snapshot(99)) == set(trace.signal_names())
    assert all(v is None for v in trace.snapshot(99).values())
    assert trace.snapshot_scope(0, "top") == {"a": 5, "b": 1, "cpu.pc": None, "cpu.temp": -2.5}
    assert trace.snapshot_scope(0, "top.cpu") == {"pc": None, "temp": -2.5}
    assert trace.snapshot_scope(0, "") == {}
    assert trace.snapshot_scope(index=0, scope="to") == {}
