"""FSDB loading through PyTrace.from_fsdb, on files built byte by byte."""

import struct
import zlib

import pytest

from velk import PyTrace

MODERN = bytes.fromhex("1c3ed948")
LEGACY = bytes.fromhex("fde099c1")
HEADER_MARK = bytes.fromhex("384300040008")


def header(magic):
    head = bytearray(400)
    head[4:8] = magic
    return head


def name_block(names):
    """A stream of NUL-terminated names, padded to 11 strings with ones the name filter drops."""
    items = list(names) + [f"-pad{i}" for i in range(len(names), 11)]
    return b"".join(n.encode() + b"\0" for n in items)


def modern_file(names, table_blocks, width_records=None):
    data = header(MODERN)
    data += zlib.compress(name_block(names))
    entries = []
    for raw in table_blocks:
        stream = zlib.compress(raw)
        entries.append((len(data), len(stream)))
        data += stream
    table = len(data)
    data += bytes(22) + struct.pack("<H", len(entries))
    for offset, size in entries:
        data += struct.pack("<III", offset, 0, size)
    struct.pack_into("<I", data, 264, table)
    if width_records is not None:
        stream = zlib.compress(width_records)
        struct.pack_into("<I", data, 272, len(data))
        data += struct.pack("<I", len(stream)) + stream + bytes(8)
    return bytes(data)


def load(tmp_path, data, name="t.fsdb"):
    path = tmp_path / name
    path.write_bytes(data)
    return PyTrace.from_fsdb(str(path))


def column(trace, name):
    return [trace.signal_value(name, i) for i in range(trace.max_index() + 1)]


def test_names_widths_and_values(tmp_path):
    # Pairs (unit 10): n0 = 5 at 10 and 6 at 30; then a later block sets n1 = 7
    # at the new time 5 (its step is 5 with an initial value of 7).
    first = bytes([0, 0, 0, 0]) + HEADER_MARK + bytes([0x01, 0x05, 0x02, 0x06])
    second = bytes([0, 0, 0, 0, 7, 0]) + HEADER_MARK
    records = bytes([0x01, 0x00, 0x43, 0x00, 0x00, 0x01, 0x00, 0x78, 0x21])
    trace = load(tmp_path, modern_file(["top.cpu.n0", "top.cpu.n1", "top.x"], [first, second], records))
    assert trace.signal_names() == ["top.cpu.n0", "top.cpu.n1", "top.x"]
    assert trace.scopes() == ["top", "top.cpu"]
    assert [trace.timestamp(i) for i in range(trace.max_index() + 1)] == [0, 5, 10, 30]
    assert column(trace, "top.cpu.n0") == [0, 0, 5, 6]
    assert column(trace, "top.cpu.n1") == [0, 7, 0, 0]
    assert column(trace, "top.x") == [0, 0, 0, 0]
    assert [trace.signal_width(n) for n in trace.signal_names()] == [8, 16, 1]


def test_legacy_file_gives_names_only(tmp_path):
    data = bytes(header(LEGACY)[:272]) + b"top.a\0top.b.c\0top.a\0"
    trace = load(tmp_path, data)
    assert trace.signal_names() == ["top.a", "top.b.c"]
    assert trace.scopes() == ["top", "top.b"]
    assert trace.max_index() == 0
    assert trace.signal_value("top.a", 0) is None


def test_errors(tmp_path):
    with pytest.raises(ValueError) as err:
        load(tmp_path, bytes(11))
    assert err.value.args == ("FSDB file too small",)
    with pytest.raises(ValueError) as err:
        load(tmp_path, bytes([0, 0, 0, 0, 0x00, 0x00, 0x12, 0xAB, 0, 0, 0, 0]))
    assert err.value.args == ("Not an FSDB file (magic=0x000012AB)",)
    missing = str(tmp_path / "none.fsdb")
    with pytest.raises(ValueError, match=r"^Failed to read .*none\.fsdb: No such file or directory \(os error 2\)$"):
        PyTrace.from_fsdb(missing)
