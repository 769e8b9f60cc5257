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
    localparam CAPTURE_DR = 4'd3, SHIFT_DR = 4'd4, SHIFT_IR = 4'd11;
    localparam [4:0] CODE_IDCODE = 5'b00110;

    wire [3:0] state;
    wire [3:0] next_state;
    jtag_tap_fsm fsm (.tck(tck), .tms(tms), .trst_n(trst_n), .state(state), .next(next_state));

    wire [4:0] ir;
    wire ir_out;
    jtag_ir #(.LEN(5), .RESET_CODE(CODE_IDCODE)) instruction_register (
        .tck(tck), .trst_n(trst_n), .tdi(tdi), .state(state), .next_state(next_state), .ir(ir),
        .shift_out(ir_out));
    reg [31:0] dr_shift = 32'd0;

    always @(posedge tck) begin
        case (state)
            CAPTURE_DR: dr_shift <= ir == CODE_IDCODE ? IDCODE : 32'd0;
            // Every instruction but IDCODE is BYPASS: a one-bit register.
            SHIFT_DR:   dr_shift <= ir == CODE_IDCODE ? {tdi, dr_shift[31:1]} : {31'd0, tdi};
            default: ;
        endcase
    end

    always @(negedge tck) begin
        if (state == SHIFT_IR)      tdo <= ir_out;
        else if (state == SHIFT_DR) tdo <= dr_shift[0];
        else                        tdo <= 1'b1;
    end
endmodule
