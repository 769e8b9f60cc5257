// A TAP's instruction register and its shift stage: Capture-IR loads
// ...0001 (the two bits nearest TDO are 01, the rest zero, so that a scan of
// an unknown chain finds its length), Shift-IR shifts TDI in at the top,
// Update-IR takes the new instruction, and Test-Logic-Reset (or TRST) selects
// RESET_CODE. Used by jtag_tap and by the simulated board's other TAP.
module jtag_ir #(
    parameter           LEN        = 6,
    parameter [LEN-1:0] RESET_CODE = 1
) (
    input  wire           tck,
    input  wire           trst_n,
    input  wire           tdi,
    input  wire [3:0]     state,       // of jtag_tap_fsm
    input  wire [3:0]     next_state,
    output reg  [LEN-1:0] ir = RESET_CODE,
    output wire           shift_out    // the bit Shift-IR puts on TDO next
);
    localparam TEST_LOGIC_RESET = 4'd0, CAPTURE_IR = 4'd10, SHIFT_IR = 4'd11, UPDATE_IR = 4'd15;
    localparam [LEN-1:0] CAPTURE = {{(LEN - 1){1'b0}}, 1'b1};

    reg [LEN-1:0] ir_shift = {LEN{1'b0}};
    assign shift_out = ir_shift[0];

    always @(posedge tck or negedge trst_n) begin
        // The reset instruction as soon as the TAP enters Test-Logic-Reset.
        if (!trst_n)                             ir <= RESET_CODE;
        else if (next_state == TEST_LOGIC_RESET) ir <= RESET_CODE;
        else if (state == UPDATE_IR)             ir <= ir_shift;
    end

    always @(posedge tck) begin
        if (state == CAPTURE_IR)    ir_shift <= CAPTURE;
        else if (state == SHIFT_IR) ir_shift <= {tdi, ir_shift[LEN-1:1]};
    end
endmodule
