"""The WLF, SHM and VPD loaders through Python: files built byte by byte,
their names, scopes, times and values, and the exact error texts."""

import os
import struct

import pytest

from velk import PyTrace

SHM_MAGIC = b"\xa1\x95\x11\xbf"


def nul_strings(*names):
    return b"".join(n.encode() + b"\0" for n in names)


def vpd_file(*names):
    header = bytearray(128)
    header[0:4] = struct.pack("<I", 0x12345678)
    header[48:52] = struct.pack("<I", 132)
    return bytes(header) + b"\1\1\1\1" + nul_strings(*names)


def wlf_file(names, value_body):
    page0 = bytearray(8192)
    strings = b"\x01a\x01b\x01c" + nul_strings(*names)
    page0[40 : 40 + len(strings)] = strings
    page0[2:4] = struct.pack(">H", 40 + len(strings))
    page0[24:26] = struct.pack(">H", len(names))
    page1 = bytearray(8192)
    page1[0:4] = b"\xff\xff" + struct.pack(">H", len(value_body))
    page1[16 : 16 + len(value_body)] = value_body
    page1[-32:] = b"\x5a" * 32  # enough non-zero bytes to count as a value page
    return bytes(page0 + page1)


def dsn_file(scopes, signals):
    out = bytearray(128)
    out[0:4] = SHM_MAGIC
    for tag, strings in ((0x00070501, scopes), (0x00090700, signals)):
        p = len(out)
        body = nul_strings(*strings)
        body += b"\0" * (-len(body) % 4)
        out += struct.pack(">III", tag, p + 12 + len(body), p + 12) + body
    return bytes(out)


def trn_file(time, count, values):
    head = bytearray(64)
    head[0:4] = SHM_MAGIC
    block = bytearray(64)
    block[0:4] = b"\x00\x1b\x22\x00"
    s = 128
    e = s + len(values)
    block[28:32] = struct.pack(">I", time)
    block[40:44] = struct.pack(">I", count)
    block[48:60] = struct.pack(">III", e, s, e)
    return bytes(head + block) + values


def test_vpd_names_only(tmp_path):
    path = tmp_path / "dump.vpd"
    path.write_bytes(vpd_file("top.a", "top.b", "top.sub.c", "top.d"))
    trace = PyTrace.from_vpd(str(path))
    assert trace.signal_names() == ["top.a", "top.b", "top.sub.c", "top.d"]
    assert trace.scopes() == ["top", "top.sub"]
    assert trace.max_index() == 0
    assert trace.signal_width("top.a") == 1
    assert trace.signal_value("top.a", 0) is None


def test_wlf_values_persist(tmp_path):
    path = tmp_path / "dump.wlf"
    path.write_bytes(wlf_file(["top.a", "top.b", "top.c"], b"\x01\x2a\xff\xff\x02\x07"))
    trace = PyTrace.from_wlf(str(path))
    assert trace.signal_names() == ["top.a", "top.b", "top.c"]
    assert [trace.timestamp(i) for i in range(trace.max_index() + 1)] == [0, 1, 2]
    assert trace.signal_values_range("top.b", 0, 3) == [42, 42, 42]
    assert trace.signal_values_range("top.c", 0, 3) == [None, None, 7]


def test_shm_directory(tmp_path):
    (tmp_path / "sim.DSN").write_bytes(dsn_file(["top"], ["clk", "rst"]))
    (tmp_path / "sim.trn").write_bytes(trn_file(1000, 2, b"\x08\x10"))
    trace = PyTrace.from_shm(str(tmp_path))
    assert trace.signal_names() == ["clk", "rst"]
    assert trace.scopes() == ["top"]
    assert [trace.timestamp(i) for i in range(trace.max_index() + 1)] == [0, 333, 666, 1000]
    assert trace.signal_values_range("clk", 0, 4) == [0, 1, 0, 0]
    assert trace.signal_values_range("rst", 0, 4) == [1, 0, 1, 1]


@pytest.mark.parametrize(
    "loader, name, content, message, note",
    [
        (PyTrace.from_vpd, "x.vpd", b"\0" * 127, "VPD file too small",
         "unexpected end of file at byte 127 reading the header"),
        (PyTrace.from_vpd, "x.vpd", b"\1" + b"\0" * 127, "Not a VPD file (magic=0x00000001)",
         "at byte 0 reading the magic number"),
        (PyTrace.from_wlf, "x.wlf", b"\0" * 8191, "WLF file too small (< 1 page)",
         "unexpected end of file at byte 8191 reading page 0"),
        (PyTrace.from_shm, "x.dsn", b"\0\0\0\1" + b"\0" * 124, "Bad DSN magic: 0x00000001",
         "at byte 0 reading the magic number"),
    ],
)
def test_format_errors(tmp_path, loader, name, content, message, note):
    path = tmp_path / name
    path.write_bytes(content)
    with pytest.raises(ValueError) as err:
        loader(str(path))
    # The message is unchanged; where the file went wrong travels as a note.
    assert err.value.args == (message,)
    assert err.value.__notes__ == [note]


@pytest.mark.skipif(not os.path.exists("/dev/zero"), reason="needs /dev/zero")
def test_a_device_that_never_ends_is_refused():
    # Read whole, /dev/zero would fill memory: reading stops at 256 MiB.
    with pytest.raises(ValueError) as err:
        PyTrace.from_fsdb("/dev/zero")
    assert err.value.args == ("Failed to read /dev/zero: not a regular file, and longer than 256 MiB",)
    with pytest.raises(ValueError) as err:
        PyTrace.from_shm("/dev/zero")
    assert err.value.args == ("DSN: not a regular file, and longer than 256 MiB",)


def test_missing_files(tmp_path):
    missing = str(tmp_path / "none.wlf")
    with pytest.raises(ValueError, match=r"^Failed to read .*none\.wlf: No such file or directory \(os error 2\)$"):
        PyTrace.from_wlf(missing)
    with pytest.raises(ValueError) as err:
        PyTrace.from_shm(str(tmp_path / "none.dsn"))
    assert err.value.args == ("DSN: No such file or directory (os error 2)",)
    assert not hasattr(err.value, "__notes__")  # the reason says it all
    with pytest.raises(ValueError) as err:
        PyTrace.from_shm(str(tmp_path))
    assert err.value.args == (f"No .dsn/.trn in {tmp_path}",)
