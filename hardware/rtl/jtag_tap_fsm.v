// The IEEE 1149.1 TAP state machine alone: the state changes on the rising
// edge of TCK as TMS says; TRST (active low) resets it at once. Shared by the
// TAP of the JTAG UART and by the simulated board's other device.
module jtag_tap_fsm (
    input  wire       tck,
    input  wire       tms,
    input  wire       trst_n,
    output reg  [3:0] state = 4'd0,
    output reg  [3:0] next
);
    // State numbers (also what the tests read).
    localparam TEST_LOGIC_RESET = 4'd0,  RUN_TEST_IDLE = 4'd1,
               SELECT_DR        = 4'd2,  CAPTURE_DR    = 4'd3,
               SHIFT_DR         = 4'd4,  EXIT1_DR      = 4'd5,
               PAUSE_DR         = 4'd6,  EXIT2_DR      = 4'd7,
               UPDATE_DR        = 4'd8,  SELECT_IR     = 4'd9,
               CAPTURE_IR       = 4'd10, SHIFT_IR      = 4'd11,
               EXIT1_IR         = 4'd12, PAUSE_IR      = 4'd13,
               EXIT2_IR         = 4'd14, UPDATE_IR     = 4'd15;

    always @(*) begin
        case (state)
            TEST_LOGIC_RESET: next = tms ? TEST_LOGIC_RESET : RUN_TEST_IDLE;
            RUN_TEST_IDLE:    next = tms ? SELECT_DR  : RUN_TEST_IDLE;
            SELECT_DR:        next = tms ? SELECT_IR  : CAPTURE_DR;
            CAPTURE_DR:       next = tms ? EXIT1_DR   : SHIFT_DR;
            SHIFT_DR:         next = tms ? EXIT1_DR   : SHIFT_DR;
            EXIT1_DR:         next = tms ? UPDATE_DR  : PAUSE_DR;
            PAUSE_DR:         next = tms ? EXIT2_DR   : PAUSE_DR;
            EXIT2_DR:         next = tms ? UPDATE_DR  : SHIFT_DR;
            UPDATE_DR:        next = tms ? SELECT_DR  : RUN_TEST_IDLE;
            SELECT_IR:        next = tms ? TEST_LOGIC_RESET : CAPTURE_IR;
            CAPTURE_IR:       next = tms ? EXIT1_IR   : SHIFT_IR;
            SHIFT_IR:         next = tms ? EXIT1_IR   : SHIFT_IR;
            EXIT1_IR:         next = tms ? UPDATE_IR  : PAUSE_IR;
            PAUSE_IR:         next = tms ? EXIT2_IR   : PAUSE_IR;
            EXIT2_IR:         next = tms ? UPDATE_IR  : SHIFT_IR;
            default:          next = tms ? SELECT_DR  : RUN_TEST_IDLE;  // UPDATE_IR
        endcase
    end

    always @(posedge tck or negedge trst_n) begin
        if (!trst_n) state <= TEST_LOGIC_RESET;
        else         state <= next;
    end
endmodule
