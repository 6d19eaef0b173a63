"""The VCD reader against a plain reference model, on dumps from a real
simulator, on random dumps, on the documented edge cases and on bad input."""

import os
import random

import pytest
from vcd_reference import ReferenceVcd, same_value

from velk import PyTrace


def assert_matches_reference(trace, data: bytes):
    ref = ReferenceVcd(data)
    assert trace.signal_names() == ref.names
    assert trace.scopes() == ref.scopes
    assert trace.max_index() == ref.max_index()
    for i, t in enumerate(ref.timestamps):
        assert trace.timestamp(i) == t
    for name in ref.names:
        width, ident = ref.vars[name]
        assert trace.signal_width(name) == width, name
        assert trace.signal_id(name) == ident, name
        got = trace.signal_values_range(name, 0, trace.max_index() + 1)
        want = [ref.value(name, i) for i in range(trace.max_index() + 1)]
        assert all(same_value(a, b) for a, b in zip(got, want)), (name, got, want)
        assert len(got) == len(want)


class TestRealSimulatorDumps:
    def test_example_dump(self, example_vcd):
        data = example_vcd.read_bytes()
        trace = PyTrace.from_vcd(str(example_vcd))
        assert_matches_reference(trace, data)
        assert trace.signal_names()[:2] == ["tb.count", "tb.acc"]
        assert trace.scopes() == ["tb", "tb.dut"]
        # iverilog declares the ports of dut with the codes of tb's nets.
        assert trace.signal_id("tb.clk") == trace.signal_id("tb.dut.clk")

    def test_rich_dump(self, rich_vcd):
        data = rich_vcd.read_bytes()
        trace = PyTrace.from_vcd(str(rich_vcd))
        assert_matches_reference(trace, data)
        assert trace.signal_width("tb.wide") == 100
        # The wide register keeps only its low 64 bits as a known value.
        values = trace.signal_values_range("tb.wide", 0, trace.max_index() + 1)
        assert values[0] is None
        assert any(isinstance(v, int) and v > 0 for v in values)
        assert any(v is None for v in trace.signal_values_range("tb.bus", 0, trace.max_index() + 1))

    def test_string_and_file_loaders_agree(self, rich_vcd):
        text = rich_vcd.read_text()
        a = PyTrace.from_vcd(str(rich_vcd))
        b = PyTrace.from_vcd_string(text)
        c = PyTrace.from_vcd_string(data=text)
        assert a is not b
        for other in (b, c):
            assert other.signal_names() == a.signal_names()
            assert other.scopes() == a.scopes()
            assert other.max_index() == a.max_index()
            for name in a.signal_names():
                assert other.signal_values_range(name, 0, a.max_index() + 1) == \
                    a.signal_values_range(name, 0, a.max_index() + 1)


def random_vcd(rng: random.Random) -> bytes:
    codes = ["!", "#", "%a", "xy", "b", "r1", "&&"]
    lines = ["$date today $end", "$timescale 1ns $end", "$scope module top $end"]
    for n, code in enumerate(codes):
        if n == 3:
            lines.append("$scope task inner $end")
        width = rng.choice(["1", "4", "+8", "70", "junk", "99999999999"])
        lines.append(f"$var wire {width} {code} sig{n % 5}[3:0] $end")
    lines += ["$upscope $end", "$upscope $end", "$var wire 1 ! alias $end", "$enddefinitions $end"]
    if rng.random() < 0.5:
        lines.append("1!")  # before the first timestamp: ignored
    t = 0
    for _ in range(rng.randint(0, 60)):
        kind = rng.random()
        if kind < 0.2:
            t += rng.randint(-3, 10)
            lines.append(rng.choice([f"#{max(t, 0)}", f"# {max(t, 0)} ", "#abc", "#+7", "#"]))
            continue
        code = rng.choice(codes + ["?"])
        form = rng.randrange(8)
        if form == 0:
            lines.append(f"{rng.choice('01xXzZ')}{code}")
        elif form == 1:
            bits = "".join(rng.choice("0101xz-") for _ in range(rng.randint(0, 80)))
            lines.append(f"{rng.choice('bB')}{bits} {code}")
        elif form == 2:
            val = rng.choice(["1.5e3", "-2", "abc", "inf", "NaN", ".5", "1e", "+3.25"])
            lines.append(f"{rng.choice('rR')}{val}  {code} ")
        elif form == 3:
            lines.append(f"b1010{code}")  # no space: ignored
        elif form == 4:
            lines.append(rng.choice(["$dumpoff", "$dumpall", "$end", "s hello !", "$comment", "junk line"]))
        elif form == 5:
            lines.append(f"  1{code}\t")
        elif form == 6:
            lines.append("$scope module late $end")
            lines.append(f"$var reg 2 {code} late $end")
            lines.append("$upscope $end")
        else:
            lines.append("")
    sep = rng.choice(["\n", "\r\n"])
    return sep.join(lines).encode()


def test_random_dumps_match_reference():
    rng = random.Random(1234)
    for _ in range(300):
        data = random_vcd(rng)
        assert_matches_reference(PyTrace.from_vcd_string(data.decode()), data)


class TestRules:
    def test_empty_text(self):
        trace = PyTrace.from_vcd_string("")
        assert trace.signal_names() == [] and trace.scopes() == []
        assert trace.max_index() == 0 and trace.timestamp(0) == 0

    def test_declarations_without_timestamps(self):
        trace = PyTrace.from_vcd_string("$var wire 1 ! a $end\n1!\n")
        assert trace.max_index() == 0 and trace.timestamp(0) == 0
        assert trace.signal_value("a", 0) is None

    def test_scopes_names_and_widths(self):
        trace = PyTrace.from_vcd_string(
            "$scope module top $end\n$scope module cpu $end\n$var wire 8 # data [7:0] $end\n"
            "$upscope $end\n$var wire 4 % bus[3:0] $end\n$var wire foo ! clk $end\n")
        assert trace.signal_names() == ["top.cpu.data", "top.bus", "top.clk"]
        assert trace.scopes() == ["top", "top.cpu"]
        assert [trace.signal_width(n) for n in trace.signal_names()] == [8, 4, 1]
        assert trace.signal_width("nope") == 0

    def test_forward_fill_and_changes(self):
        trace = PyTrace.from_vcd_string("$var wire 1 ! a $end\n#0\n1!\n#10\n#20\n0!\n")
        assert trace.signal_values_range("a", 0, 3) == [1, 1, 0]
        assert trace.max_index() == 2 and trace.timestamp(1) == 10

    def test_unknown_scalar_is_not_carried(self):
        trace = PyTrace.from_vcd_string("$var wire 1 ! a $end\n#0\n1!\n#1\nx!\n#2\n#3\n1!\n")
        assert trace.signal_values_range("a", 0, 4) == [1, None, None, 1]

    def test_vector_and_real_kinds(self):
        text = ("$var wire 4 ! v $end\n$var real 1 \" r $end\n#0\nb10x1 !\nr1.5e3 \"\n#1\nb1010 !\n"
                "rabc \"\n#2\nb1111!\n")
        trace = PyTrace.from_vcd_string(text)
        assert trace.signal_values_range("v", 0, 3) == [None, 10, 10]
        assert trace.signal_values_range("r", 0, 2) == [1500.0, 0.0]

    def test_aliases_share_values(self):
        trace = PyTrace.from_vcd_string("$var wire 1 ! a $end\n$var wire 1 ! b $end\n#0\n1!\n")
        assert trace.signal_id("a") == trace.signal_id("b") == 0
        assert trace.signal_value("b", 0) == 1

    def test_same_full_name_refers_to_last_declaration(self):
        trace = PyTrace.from_vcd_string(
            "$var wire 1 ! data [0] $end\n$var wire 1 \" data [1] $end\n#0\n1!\n0\"\n")
        assert trace.signal_names() == ["data"]
        assert trace.signal_id("data") == 1 and trace.signal_value("data", 0) == 0

    def test_timestamp_oddities(self):
        trace = PyTrace.from_vcd_string("$var wire 1 ! a $end\n#5\n#5\n#abc\n#7 1!\n#3\n")
        assert [trace.timestamp(i) for i in range(5)] == [5, 5, 0, 0, 3]
        assert trace.signal_value("a", 3) is None


class TestBadInput:
    def test_missing_file(self, tmp_path):
        path = str(tmp_path / "missing.vcd")
        with pytest.raises(ValueError) as err:
            PyTrace.from_vcd(path)
        assert str(err.value).startswith("Failed to open " + path + ": ")
        assert err.value.args == (str(err.value),)

    def test_directory(self, tmp_path):
        with pytest.raises(ValueError, match="^Failed to open "):
            PyTrace.from_vcd(str(tmp_path))

    def test_empty_file(self, tmp_path):
        (tmp_path / "e.vcd").write_bytes(b"")
        assert PyTrace.from_vcd(str(tmp_path / "e.vcd")).signal_names() == []

    def test_binary_and_nul_bytes(self, tmp_path):
        rng = random.Random(5)
        blob = bytes(rng.randrange(256) for _ in range(200_000))
        good = b"$var wire 1 ! a $end\n#0\n1!\n#1\n"
        path = tmp_path / "b.vcd"
        path.write_bytes(blob + b"\n" + good + b"0\x00!\n\xff\xfe1!\n" + blob)
        trace = PyTrace.from_vcd(str(path))
        assert "a" in trace.signal_names()
        assert trace.signal_value("a", 0) == 1

    def test_one_long_line(self, tmp_path):
        path = tmp_path / "long.vcd"
        with open(path, "wb") as f:
            f.write(b"$var wire 8 ! v $end\n#0\nb")
            f.write(b"01" * (20 * 1024 * 1024))
            f.write(b" !\n#1\n")
        trace = PyTrace.from_vcd(str(path))
        assert trace.signal_values_range("v", 0, 2) == [0x5555555555555555] * 2

    def test_a_line_past_the_limit_is_refused(self, tmp_path):
        # 65 MiB of one line from 65 KiB of gzip: refused once the line passes
        # 64 MiB, not held whole (nor a device's endless bytes).
        import gzip

        path = tmp_path / "one_line.vcd.gz"
        with gzip.open(path, "wb", compresslevel=1) as f:
            for _ in range(65):
                f.write(b"x" * (1 << 20))
        with pytest.raises(ValueError, match=r"^Failed to read .*one_line\.vcd\.gz: a line is longer than 64 MiB") \
                as info:
            PyTrace.from_vcd_gz(str(path))
        assert getattr(info.value, "__notes__", []) == ["at byte 0 reading the decompressed text"]
        if os.path.exists("/dev/zero"):
            with pytest.raises(ValueError, match="a line is longer than 64 MiB"):
                PyTrace.from_vcd("/dev/zero")

    def test_huge_declared_width(self):
        trace = PyTrace.from_vcd_string("$var wire 4294967295 ! v $end\n$var wire 4294967296 \" w $end\n"
                                        "#0\nb1 !\n")
        assert trace.signal_width("v") == 4294967295
        assert trace.signal_width("w") == 1
        assert trace.signal_value("v", 0) == 1

    @pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs mkfifo")
    def test_unreadable_special_file_does_not_hang(self, tmp_path):
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        # A writer that closes at once: the reader sees end of input.
        pid = os.fork()
        if pid == 0:
            with open(fifo, "wb"):
                pass
            os._exit(0)
        trace = PyTrace.from_vcd(str(fifo))
        os.waitpid(pid, 0)
        assert trace.signal_names() == []


class TestGzip:
    """PyTrace.from_vcd_gz streams a gzip-compressed VCD into the same reader."""

    def test_same_values_as_plain_file(self, rich_vcd, tmp_path):
        import gzip

        data = rich_vcd.read_bytes()
        packed = tmp_path / "rich.vcd.gz"
        packed.write_bytes(gzip.compress(data))
        trace = PyTrace.from_vcd_gz(str(packed))
        assert_matches_reference(trace, data)
        plain = PyTrace.from_vcd(str(rich_vcd))
        assert trace.signal_width("no.such.name") == plain.signal_width("no.such.name") == 0
        for name in plain.signal_names():
            assert trace.signal_values_range(name, 0, plain.max_index() + 1) == \
                plain.signal_values_range(name, 0, plain.max_index() + 1)

    def test_random_dumps(self, tmp_path):
        import gzip

        rng = random.Random(5)
        packed = tmp_path / "r.vcd.gz"
        for _ in range(30):
            data = random_vcd(rng)
            packed.write_bytes(gzip.compress(data))
            assert_matches_reference(PyTrace.from_vcd_gz(str(packed)), data)

    def test_broken_streams_raise_value_error(self, rich_vcd, tmp_path):
        import gzip

        packed = gzip.compress(rich_vcd.read_bytes())
        path = tmp_path / "bad.vcd.gz"
        for cut in (0, 3, len(packed) // 2, len(packed) - 1):
            path.write_bytes(packed[:cut])
            with pytest.raises(ValueError, match="truncated gzip stream"):
                PyTrace.from_vcd_gz(str(path))
        corrupt = bytearray(packed)
        corrupt[len(corrupt) // 2] ^= 0xFF
        path.write_bytes(bytes(corrupt))
        with pytest.raises(ValueError, match="corrupt gzip stream"):
            PyTrace.from_vcd_gz(str(path))
        path.write_bytes(rich_vcd.read_bytes())
        with pytest.raises(ValueError, match="Failed to decompress"):
            PyTrace.from_vcd_gz(str(path))
        with pytest.raises(ValueError, match="Failed to open"):
            PyTrace.from_vcd_gz(str(tmp_path / "missing.vcd.gz"))
