"""Waveform pictures: valid PNG and SVG files of the requested size, for
bits, buses, reals and unknown stretches; bad arguments refused."""

import re
import struct
import xml.etree.ElementTree as ET

import pytest

pytest.importorskip("matplotlib")

import velk  # noqa: E402


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


def test_png_and_svg_of_the_requested_size(tmp_path, example_vcd, rich_vcd):
    trace = velk.open(example_vcd)
    names = ["tb.clk", "tb.en", "tb.count", "tb.acc", "tb.temperature"]
    png = tmp_path / "wave.png"
    velk.plot(trace, names, 0, 40, output=png, width=900, height=300)
    assert png_size(png) == (900, 300)
    svg = tmp_path / "wave.svg"
    velk.plot(trace, names, 5, None, output=svg, width=640, height=200)
    root = ET.parse(svg).getroot()
    assert root.tag.endswith("svg")
    points = [float(re.match(r"[\d.]+", root.get(k)).group()) for k in ("width", "height")]
    assert points == pytest.approx([640 * 0.72, 200 * 0.72])  # matplotlib writes points, 72 per 100 pixels
    text = svg.read_text()
    assert "tb.count" in text or "tb.count" in "".join(root.itertext())
    # x, z, wide vectors and reals from a simulator's dump.
    rich = velk.open(rich_vcd)
    out = tmp_path / "rich.png"
    velk.plot(rich, [n for n in rich.signal_names() if n.count(".") == 1], output=out, width=1000)
    width, height = png_size(out)
    assert width == 1000 and height > 100


def test_refusals(tmp_path, example_vcd):
    trace = velk.open(example_vcd)
    with pytest.raises(ValueError, match="png or .svg"):
        velk.plot(trace, ["tb.clk"], output=tmp_path / "wave.jpg")
    with pytest.raises(ValueError, match="empty index range"):
        velk.plot(trace, ["tb.clk"], 10, 10)
    with pytest.raises(ValueError):
        velk.plot(trace, [])
    with pytest.raises(KeyError):
        velk.plot(trace, ["tb.nope"])
    assert not list(tmp_path.iterdir())
