import shutil
import subprocess
from pathlib import Path

import pytest

DATA = Path(__file__).resolve().parent.parent / "data"
EXAMPLES = Path(__file__).resolve().parent.parent.parent / "examples"

# A design exercising what simulators put in VCD files: nested scopes, port
# aliases (one identifier code under several names), x and z states, a real,
# a vector wider than 64 bits, an integer and an event.
RICH_TB = r"""
`timescale 1ns/1ps
module leaf(input [7:0] d, input clk, output reg [7:0] q);
  always @(posedge clk) q <= d ^ 8'h5a;
endmodule
module mid(input clk, input [7:0] d, output [7:0] q, output [7:0] q2);
  leaf a(.d(d), .clk(clk), .q(q));
  leaf b(.d(q), .clk(clk), .q(q2));
endmodule
module tb;
  reg clk = 0;
  reg [7:0] d;
  wire [7:0] q, q2;
  reg [99:0] wide;
  reg [3:0] nib;
  tri [3:0] bus;
  reg drive;
  real r;
  integer i;
  event ev;
  assign bus = drive ? nib : 4'bz;
  mid m(.clk(clk), .d(d), .q(q), .q2(q2));
  always #3 clk = ~clk;
  initial begin
    $dumpfile("rich.vcd");
    $dumpvars(0, tb);
    d = 8'hxx; wide = 100'bx; nib = 4'b1x0z; drive = 0; r = -1.5;
    #4 d = 8'h01; wide = {36'h0, 64'hffff_ffff_ffff_ffff}; drive = 1;
    for (i = 0; i < 20; i = i + 1) begin
      #5 d = d * 3 + i; wide = wide << 3; nib = nib + 1; r = r * -2.25;
      if (i == 7) -> ev;
      if (i == 10) begin drive = 0; d = 8'bzz0011xx; end
      if (i == 12) drive = 1;
    end
    #7 $finish;
  end
endmodule
"""


def run_iverilog(source: str, vcd_name: str, workdir: Path) -> Path:
    if shutil.which("iverilog") is None or shutil.which("vvp") is None:
        pytest.skip("iverilog is not installed")
    src = workdir / "tb.v"
    src.write_text(source)
    subprocess.run(["iverilog", "-o", str(workdir / "tb.vvp"), str(src)], check=True, cwd=workdir)
    subprocess.run(["vvp", str(workdir / "tb.vvp")], check=True, cwd=workdir, capture_output=True)
    return workdir / vcd_name


@pytest.fixture(scope="session")
def rich_vcd(tmp_path_factory) -> Path:
    return run_iverilog(RICH_TB, "rich.vcd", tmp_path_factory.mktemp("rich"))


@pytest.fixture(scope="session")
def example_vcd() -> Path:
    return EXAMPLES / "counter.vcd"
