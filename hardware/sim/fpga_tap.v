// The TAP of another maker's FPGA on a simulated board: IDCODE, BYPASS and
// up to four user instructions whose data registers are the FPGA logic's,
// reached through the maker's primitive (hardware/sim/JTAGG.v,
// hardware/sim/BSCANE2.v). A board instantiates it under the instance name
// `fpga_tap`; a primitive's model finds it by that name, as the silicon's
// primitive is wired to the chip's TAP, reads the TAP's state and
// instruction, and gives it the TDO of its user register in `user_tdo1`..4.
// While a user instruction is in Shift-DR the chip's TDO follows that
// register's TDO as the primitive presents it (its own register, if any).
module fpga_tap #(
    parameter              IR_LEN    = 8,
    parameter [31:0]       IDCODE    = 32'h00000001,
    parameter [IR_LEN-1:0] IR_IDCODE = 1,
    // The user instructions; all ones (BYPASS) for none.
    parameter [IR_LEN-1:0] USER1 = {IR_LEN{1'b1}},
    parameter [IR_LEN-1:0] USER2 = {IR_LEN{1'b1}},
    parameter [IR_LEN-1:0] USER3 = {IR_LEN{1'b1}},
    parameter [IR_LEN-1:0] USER4 = {IR_LEN{1'b1}}
) (
    input  wire              tck,
    input  wire              tms,
    input  wire              tdi,
    input  wire              trst_n,
    output wire              tdo,
    output wire [3:0]        state,        // of jtag_tap_fsm
    output wire [3:0]        next_state,   // after the coming rising edge
    output wire [IR_LEN-1:0] instruction,
    output wire [IR_LEN-1:0] next_instruction
);
    localparam TEST_LOGIC_RESET = 4'd0, CAPTURE_DR = 4'd3, SHIFT_DR = 4'd4, CAPTURE_IR = 4'd10,
               SHIFT_IR = 4'd11, UPDATE_IR = 4'd15;

    /* verilator lint_off UNDRIVEN */
    // Written by the primitives (a hierarchical reference from their models).
    reg user_tdo1, user_tdo2, user_tdo3, user_tdo4;
    /* verilator lint_on UNDRIVEN */

    jtag_tap_fsm fsm (.tck(tck), .tms(tms), .trst_n(trst_n), .state(state), .next(next_state));

    // The instruction register: captures ...01, IDCODE after a reset.
    reg [IR_LEN-1:0] ir = IR_IDCODE;
    reg [IR_LEN-1:0] ir_shift = {IR_LEN{1'b0}};
    assign instruction = ir;
    assign next_instruction = next_state == TEST_LOGIC_RESET ? IR_IDCODE : state == UPDATE_IR ? ir_shift : ir;
    always @(posedge tck or negedge trst_n) begin
        if (!trst_n) ir <= IR_IDCODE;
        else         ir <= next_instruction;
    end
    always @(posedge tck) begin
        if (state == CAPTURE_IR)    ir_shift <= {{(IR_LEN - 1){1'b0}}, 1'b1};
        else if (state == SHIFT_IR) ir_shift <= {tdi, ir_shift[IR_LEN-1:1]};
    end

    wire user1 = instruction == USER1 && USER1 != {IR_LEN{1'b1}};
    wire user2 = instruction == USER2 && USER2 != {IR_LEN{1'b1}};
    wire user3 = instruction == USER3 && USER3 != {IR_LEN{1'b1}};
    wire user4 = instruction == USER4 && USER4 != {IR_LEN{1'b1}};
    wire user = user1 | user2 | user3 | user4;
    wire user_out = user1 ? user_tdo1 : user2 ? user_tdo2 : user3 ? user_tdo3 : user_tdo4;

    // IDCODE and BYPASS: the chip's own registers, TDO from the falling edge.
    reg [31:0] dr_shift = 32'd0;
    reg        own_tdo = 1'b1;
    always @(posedge tck) begin
        if (state == CAPTURE_DR)    dr_shift <= instruction == IR_IDCODE ? IDCODE : 32'd0;
        else if (state == SHIFT_DR) dr_shift <= instruction == IR_IDCODE ? {tdi, dr_shift[31:1]} : {31'd0, tdi};
    end
    always @(negedge tck) begin
        if (state == SHIFT_IR)      own_tdo <= ir_shift[0];
        else if (state == SHIFT_DR) own_tdo <= dr_shift[0];
        else                        own_tdo <= 1'b1;
    end
    assign tdo = state == SHIFT_DR && user ? user_out : own_tdo;
endmodule
