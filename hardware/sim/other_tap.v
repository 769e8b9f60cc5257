// The simulated board's first device: the TAP of another maker's chip, with
// IDCODE and BYPASS only and a 5-bit IR (ours has 6).
module other_tap #(
    parameter [31:0] IDCODE = 32'h30A51E2B
) (
    input  wire tck,
    input  wire tms,
    input  wire tdi,
    input  wire trst_n,
    output reg  tdo = 1'b1
);
    localparam TEST_LOGIC_RESET = 4'd0, CAPTURE_DR = 4'd3, SHIFT_DR = 4'd4,
               CAPTURE_IR = 4'd10, SHIFT_IR = 4'd11, UPDATE_IR = 4'd15;
    localparam [4:0] CODE_IDCODE = 5'b00110;

    wire [3:0] state;
    wire [3:0] next_state;
    jtag_tap_fsm fsm (.tck(tck), .tms(tms), .trst_n(trst_n), .state(state), .next(next_state));

    reg [4:0] ir = CODE_IDCODE;
    reg [4:0] ir_shift = 5'd0;
    reg [31:0] dr_shift = 32'd0;

    always @(posedge tck or negedge trst_n) begin
        if (!trst_n)                        ir <= CODE_IDCODE;
        else if (next_state == TEST_LOGIC_RESET) ir <= CODE_IDCODE;
        else if (state == UPDATE_IR)        ir <= ir_shift;
    end

    always @(posedge tck) begin
        case (state)
            CAPTURE_IR: ir_shift <= 5'b00001;
            SHIFT_IR:   ir_shift <= {tdi, ir_shift[4:1]};
            CAPTURE_DR: dr_shift <= ir == CODE_IDCODE ? IDCODE : 32'd0;
            // Every instruction but IDCODE is BYPASS: a one-bit register.
            SHIFT_DR:   dr_shift <= ir == CODE_IDCODE ? {tdi, dr_shift[31:1]} : {31'd0, tdi};
            default: ;
        endcase
    end

    always @(negedge tck) begin
        if (state == SHIFT_IR)      tdo <= ir_shift[0];
        else if (state == SHIFT_DR) tdo <= dr_shift[0];
        else                        tdo <= 1'b1;
    end
endmodule
