// A run of 150,000 time steps: long enough that the store keeps each
// signal's changes over several blocks of 65,536 indices. A clock changes
// at every step, a counter at every other, a wide register once per
// 8,192 steps, and a one-bit flag is x until the last index of the
// second block and then changes on both sides of the edge.
`timescale 1ns/1ns
module tb;
  reg clk = 0;
  reg [11:0] count = 0;
  reg [39:0] slow = 0;
  reg flag;
  always #1 clk = ~clk;
  always @(posedge clk) count <= count + 1;
  always @(posedge clk) if (count == 12'd4000) slow <= slow + 40'h1_0000_0001;
  initial begin
    $dumpfile("out.dump");
    $dumpvars(0, tb);
    #131071 flag = 1;
    #2 flag = 1'bz;
    #3 flag = 0;
    #18924 $finish;
  end
endmodule
