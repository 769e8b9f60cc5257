// A behavioural model of the 7-series BSCANE2 primitive as the user logic
// sees it, from the maker's public documentation (the libraries guide and
// the configuration user guide): TCK, TMS and TDI are the pins; CAPTURE,
// SHIFT, UPDATE, RESET, RUNTEST and SEL change on the falling edge of TCK
// (SEL while USERn, JTAG_CHAIN 1..4 = 0x02, 0x03, 0x22, 0x23, is loaded;
// the others whatever the instruction); DRCK is TCK while SEL and CAPTURE
// or SHIFT, high otherwise; the TAP samples TDO on the falling edge. The
// chip's TAP is the board's `fpga_tap` (hardware/sim/fpga_tap.v): the
// model reads it by that name and gives it TDO.
/* verilator lint_off UNUSEDPARAM */
module BSCANE2 #(
    parameter         DISABLE_JTAG = "FALSE",
    parameter integer JTAG_CHAIN   = 1
) (
    output wire CAPTURE,
    output wire DRCK,
    output wire RESET,
    output wire RUNTEST,
    output wire SEL,
    output wire SHIFT,
    output wire TCK,
    output wire TDI,
    output wire TMS,
    output wire UPDATE,
    input  wire TDO
);
/* verilator lint_on UNUSEDPARAM */
    localparam [5:0] CODE = JTAG_CHAIN == 1 ? 6'h02 : JTAG_CHAIN == 2 ? 6'h03 : JTAG_CHAIN == 3 ? 6'h22 : 6'h23;
    localparam TEST_LOGIC_RESET = 4'd0, RUN_TEST_IDLE = 4'd1, CAPTURE_DR = 4'd3, SHIFT_DR = 4'd4,
               UPDATE_DR = 4'd8;

    wire tck = fpga_tap.tck;
    wire [3:0] state = fpga_tap.state;
    reg capture = 1'b0, shift = 1'b0, update = 1'b0, reset = 1'b1, runtest = 1'b0, selected = 1'b0;
    always @(negedge tck) begin
        capture <= state == CAPTURE_DR;
        shift <= state == SHIFT_DR;
        update <= state == UPDATE_DR;
        reset <= state == TEST_LOGIC_RESET;
        runtest <= state == RUN_TEST_IDLE;
        selected <= fpga_tap.instruction[5:0] == CODE;
    end
    assign CAPTURE = capture;
    assign SHIFT = shift;
    assign UPDATE = update;
    assign RESET = reset;
    assign RUNTEST = runtest;
    assign SEL = selected;
    assign DRCK = selected && (capture || shift) ? tck : 1'b1;
    assign TCK = tck;
    assign TDI = fpga_tap.tdi;
    assign TMS = fpga_tap.tms;

    reg tdo_sampled = 1'b0;
    always @(negedge tck) tdo_sampled <= TDO;
    generate
        if (JTAG_CHAIN == 1) begin : chain1
            always @(*) fpga_tap.user_tdo1 = tdo_sampled;
        end else if (JTAG_CHAIN == 2) begin : chain2
            always @(*) fpga_tap.user_tdo2 = tdo_sampled;
        end else if (JTAG_CHAIN == 3) begin : chain3
            always @(*) fpga_tap.user_tdo3 = tdo_sampled;
        end else begin : chain4
            always @(*) fpga_tap.user_tdo4 = tdo_sampled;
        end
    endgenerate
endmodule
