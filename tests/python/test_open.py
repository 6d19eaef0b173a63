"""velk.open: every format recognised by content alone and loaded to the same
trace as its own loader; the errors for missing, unreadable, foreign files."""

import errno
import gzip
import os
import pathlib

import pytest

import velk
from velk import PyTrace
from test_closed_formats import dsn_file, trn_file, vpd_file, wlf_file
from test_fsdb import LEGACY, header, modern_file

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"


def content(trace):
    """Everything a trace holds, for comparing two loads."""
    last = trace.max_index()
    return (
        trace.signal_names(),
        trace.scopes(),
        [trace.timestamp(i) for i in range(last + 1)],
        {n: trace.signal_values_range(n, 0, last + 1) for n in trace.signal_names()},
    )


@pytest.fixture
def samples(tmp_path, example_vcd):
    """(file name, content, format, the format's own loader) for every format."""
    vcd = example_vcd.read_bytes()
    fsdb = modern_file(["top.a", "top.b"], [])
    shm_dir = tmp_path / "run.shm"
    shm_dir.mkdir()
    (shm_dir / "run.dsn").write_bytes(dsn_file(["top"], ["clk", "data"]))
    (shm_dir / "run.trn").write_bytes(trn_file(10, 1, b"\x01"))
    files = [
        ("counter.dump", vcd, "vcd", PyTrace.from_vcd),
        ("fst_named.vcd", (DATA / "fst" / "iverilog.fst").read_bytes(), "fst", PyTrace.from_fst),
        ("wrapped", (DATA / "fst" / "vcd2fst_gzip_wrapped.fst").read_bytes(), "fst", PyTrace.from_fst),
        ("modern.bin", fsdb, "fsdb", PyTrace.from_fsdb),
        ("legacy.bin", bytes(header(LEGACY)[:272]) + b"top.a\0top.b.c\0", "fsdb", PyTrace.from_fsdb),
        ("names.bin", vpd_file("top.a", "top.b"), "vpd", PyTrace.from_vpd),
        ("log.bin", wlf_file(["top.a", "top.b"], b"\x01\x2a\xff\x02\x07"), "wlf", PyTrace.from_wlf),
        ("design.bin", dsn_file(["top"], ["clk"]), "shm", PyTrace.from_shm),
    ]
    out = []
    for name, data, fmt, loader in files:
        path = tmp_path / name
        path.write_bytes(data)
        out.append((path, fmt, loader))
    out.append((shm_dir, "shm", PyTrace.from_shm))
    return out


def test_every_format_by_content(samples):
    for path, fmt, loader in samples:
        assert PyTrace.detect_format(str(path)) == fmt, path
        assert content(velk.open(path)) == content(loader(str(path))), path
        assert content(velk.open(str(path), format=fmt)) == content(loader(str(path))), path


def test_gzipped_vcd_loads_to_the_same_values(tmp_path, rich_vcd):
    if not hasattr(PyTrace, "from_vcd_gz"):
        pytest.skip("this build has no gzip VCD reader")
    packed = tmp_path / "rich.vcd.gz"
    packed.write_bytes(gzip.compress(rich_vcd.read_bytes()))
    assert PyTrace.detect_format(str(packed)) == "vcd.gz"
    assert content(velk.open(packed)) == content(PyTrace.from_vcd(str(rich_vcd)))


def test_format_argument(tmp_path, example_vcd):
    forced = velk.open(example_vcd, format="VCD")
    assert forced.signal_names() == PyTrace.from_vcd(str(example_vcd)).signal_names()
    with pytest.raises(ValueError, match="unknown format 'mp3'"):
        velk.open(example_vcd, format="mp3")
    with pytest.raises(TypeError):
        velk.open(example_vcd, format=3)
    # A forced reader that refuses the file: FormatError with the reader's text.
    with pytest.raises(velk.FormatError, match=r"^Not an FSDB file \(magic=0x"):
        velk.open(example_vcd, format="fsdb")
    assert [name for name, _ in velk.formats()] == [name for name, _ in PyTrace.formats()]
    assert {"vcd", "vcd.gz", "fst", "fsdb", "wlf", "shm", "vpd"} == {n for n, _ in velk.formats()}


def test_missing_directory_and_foreign_files(tmp_path):
    missing = tmp_path / "none.vcd"
    with pytest.raises(FileNotFoundError) as info:
        velk.open(missing)
    assert info.value.filename == str(missing) and info.value.errno == errno.ENOENT
    with pytest.raises(IsADirectoryError) as info:
        velk.open(tmp_path)
    assert info.value.filename == str(tmp_path)
    cases = {
        "empty.vcd": (b"", "an empty file"),
        "README.md": (b"# A project\n\nIt does things.\n", "text starting '# A project'"),
        "a.out": (b"\x7fELF\x02\x01\x01" + bytes(60), "an ELF executable"),
        "junk.bin": (bytes(range(200, 256)), "bytes c8 c9 ca cb"),
        "text.gz": (gzip.compress(b"hello\n"), "gzip data whose content is not VCD text"),
    }
    for name, (data, seen) in cases.items():
        path = tmp_path / name
        path.write_bytes(data)
        with pytest.raises(velk.FormatError) as info:
            velk.open(path)
        assert isinstance(info.value, ValueError)
        assert seen in str(info.value) and str(path) in str(info.value), name
        assert PyTrace.detect_format(str(path)) is None
    # A device reports size 0 but is not empty.
    if os.path.exists("/dev/zero"):
        with pytest.raises(velk.FormatError, match=r"\(bytes 00 00 00"):
            velk.open("/dev/zero")


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file(tmp_path, example_vcd):
    path = tmp_path / "locked.vcd"
    path.write_bytes(example_vcd.read_bytes())
    path.chmod(0)
    with pytest.raises(PermissionError) as info:
        velk.open(path)
    assert info.value.filename == str(path)


def test_core_detection_errors(tmp_path):
    with pytest.raises(ValueError, match=r"^Failed to read .*none: No such file or directory \(os error 2\)$"):
        PyTrace.detect_format(str(tmp_path / "none"))
    with pytest.raises(ValueError, match=r"^Unknown format 'x' \(known: fst, fsdb, "):
        PyTrace.from_format(str(tmp_path), "x")
    with pytest.raises(TypeError):
        PyTrace.detect_format(tmp_path)  # the core takes str only; velk.open takes paths
