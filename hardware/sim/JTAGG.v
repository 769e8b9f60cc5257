// A behavioural model of the ECP5 JTAGG primitive as the user logic sees
// it, written from the public documentation and published bench
// measurements. No document of the maker gives its timing, so the model
// comes in variants, chosen by the macro JTAGG_MODEL_VARIANT (default 1):
//   0  no registers: JTDI is TDI as it stands, and the chip's TDO is JTDOn
//      as it stands;
//   1  as measured on boards: JTDI is TDI registered on the rising edge of
//      TCK (one clock late), and the primitive samples JTDOn on the falling
//      edge of TCK;
//   2  as 1, with JTCK reaching the user's flops a few ns after the
//      primitive's outputs have changed: at each rising edge the user logic
//      sees JTDI, JSHIFT, JUPDATE, JCEn, JRTIn and JRSTN as they are after
//      that edge.
// JSHIFT is high in Shift-DR and JUPDATE in Update-DR whatever the
// instruction; JCEn in Capture-DR and Shift-DR while ERn (0x32, 0x38) is
// loaded, JRTIn in Run-Test/Idle while it is; JRSTN low in
// Test-Logic-Reset. TCK, TMS, TDI and TDO stand for the chip's JTAG pins,
// which a design leaves unconnected: the model takes the chip's TAP from
// the board's `fpga_tap` (hardware/sim/fpga_tap.v) and gives it JTDOn.
`ifndef JTAGG_MODEL_VARIANT
`define JTAGG_MODEL_VARIANT 1
`endif
/* verilator lint_off UNUSEDSIGNAL */
module JTAGG #(
    parameter ER1 = "ENABLED",
    parameter ER2 = "ENABLED"
) (
    input  wire TCK,
    input  wire TMS,
    input  wire TDI,
    output wire TDO,
    output wire JTCK,
    output wire JTDI,
    output wire JSHIFT,
    output wire JUPDATE,
    output wire JRSTN,
    output wire JCE1,
    output wire JCE2,
    output wire JRTI1,
    output wire JRTI2,
    input  wire JTDO1,
    input  wire JTDO2
);
/* verilator lint_on UNUSEDSIGNAL */
    localparam integer VARIANT = `JTAGG_MODEL_VARIANT;
    localparam [7:0] CODE_ER1 = 8'h32, CODE_ER2 = 8'h38;
    localparam TEST_LOGIC_RESET = 4'd0, RUN_TEST_IDLE = 4'd1, CAPTURE_DR = 4'd3, SHIFT_DR = 4'd4,
               UPDATE_DR = 4'd8;

    wire tck = fpga_tap.tck;
    wire tdi = fpga_tap.tdi;
    // The TAP's state and instruction as the user logic sees them at a rising edge of JTCK.
    wire [3:0] state = VARIANT == 2 ? fpga_tap.next_state : fpga_tap.state;
    wire [7:0] ir = VARIANT == 2 ? fpga_tap.next_instruction : fpga_tap.instruction;

    reg tdi_held = 1'b0;
    always @(posedge tck) tdi_held <= tdi;

    wire er1 = ER1 == "ENABLED" && ir == CODE_ER1;
    wire er2 = ER2 == "ENABLED" && ir == CODE_ER2;
    wire data = state == CAPTURE_DR || state == SHIFT_DR;
    assign JTCK = tck;
    // Variant 2 sees the register's next value: TDI as it stands.
    assign JTDI = VARIANT == 1 ? tdi_held : tdi;
    assign JSHIFT = state == SHIFT_DR;
    assign JUPDATE = state == UPDATE_DR;
    assign JRSTN = state != TEST_LOGIC_RESET;
    assign JCE1 = er1 && data;
    assign JCE2 = er2 && data;
    assign JRTI1 = er1 && state == RUN_TEST_IDLE;
    assign JRTI2 = er2 && state == RUN_TEST_IDLE;

    reg tdo1_sampled = 1'b0, tdo2_sampled = 1'b0;
    always @(negedge tck) begin
        tdo1_sampled <= JTDO1;
        tdo2_sampled <= JTDO2;
    end
    always @(*) begin
        fpga_tap.user_tdo1 = VARIANT == 0 ? JTDO1 : tdo1_sampled;
        fpga_tap.user_tdo2 = VARIANT == 0 ? JTDO2 : tdo2_sampled;
    end
    assign TDO = fpga_tap.tdo;
endmodule
