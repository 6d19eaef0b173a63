// A tiny design for the velk example: a 4-bit counter with enable and an
// 8-bit accumulator, dumped to counter.vcd by iverilog.
//   iverilog -o counter_tb.vvp counter_tb.v && vvp counter_tb.vvp
`timescale 1ns/1ps

module counter(input clk, input rst, input en, output reg [3:0] count, output reg [7:0] acc);
  always @(posedge clk) begin
    if (rst) begin
      count <= 4'd0;
      acc <= 8'd0;
    end else if (en) begin
      count <= count + 4'd1;
      acc <= acc + {4'd0, count};
    end
  end
endmodule

module tb;
  reg clk = 0;
  reg rst = 1;
  reg en = 0;
  wire [3:0] count;
  wire [7:0] acc;
  real temperature = 25.0;

  counter dut(.clk(clk), .rst(rst), .en(en), .count(count), .acc(acc));

  always #5 clk = ~clk;

  initial begin
    $dumpfile("counter.vcd");
    $dumpvars(0, tb);
    #12 rst = 0;
    #10 en = 1;
    #100 en = 0;
    temperature = 31.5;
    #20 en = 1;
    #60 $finish;
  end
endmodule
