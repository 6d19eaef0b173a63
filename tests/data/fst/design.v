// Test design for the FST reader: a three-level hierarchy whose ports alias
// the parent nets, a real, x/z values, a 100-bit vector, $dumpoff/$dumpon, and
// $dumpflush calls that make the writer emit several value-change sections.
`timescale 1ns/1ps
module leaf(input wire clk, input wire [7:0] d, output reg [7:0] q);
  always @(posedge clk) q <= d + 8'd1;
endmodule
module mid(input wire clk, input wire [7:0] d, output wire [7:0] q);
  leaf u_leaf(.clk(clk), .d(d), .q(q));
endmodule
module tb;
  reg clk = 0;
  reg [7:0] data = 8'h00;
  wire [7:0] result;
  reg [99:0] wide = 100'h0;
  reg [3:0] nib = 4'bxxxx;
  reg bit1 = 1'bx;
  reg [7:0] bus = 8'bzzzz_zzzz;
  real temperature = 0.0;
  integer i;
  mid u_mid(.clk(clk), .d(data), .q(result));
  always #5 clk = ~clk;
  initial begin
    $dumpfile("out.dump");
    $dumpvars(0, tb);
    #7 nib = 4'b10x1; bit1 = 1'bz;
    #10 bus = 8'hA5; bit1 = 1;
    for (i = 0; i < 450; i = i + 1) begin
      #3 data = data + 8'd3; wide = {wide[98:0], ~wide[99]} ^ (i * 100'h1_0000_0001); temperature = temperature + 0.25;
      if (i % 150 == 149) $dumpflush;
      if (i == 200) $dumpoff;
      if (i == 260) $dumpon;
      if (i % 7 == 0) nib = 4'bz01x; else nib = i[3:0];
    end
    #20 $finish;
  end
endmodule
