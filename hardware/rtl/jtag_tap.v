// The TAP of a device that carries JTAG UARTs: IDCODE (selected by
// Test-Logic-Reset), BYPASS, a discovery instruction whose data register is
// the descriptor given on `descriptor`, and USER_COUNT user instructions that
// each hand the user data-register port to a core (the same signals an FPGA's
// user-instruction primitive gives). See hardware/README.md.
module jtag_tap #(
    parameter        IR_LEN      = 6,
    parameter [31:0] IDCODE      = 32'h17E01F57,
    parameter        IR_IDCODE   = 1,
    parameter        IR_DISCOVER = 2,
    parameter        IR_USER     = 32,  // user instruction i is IR_USER + i
    parameter        USER_COUNT  = 1,
    parameter        DESC_WORDS  = 3
) (
    input  wire                    tck,
    input  wire                    tms,
    input  wire                    tdi,
    input  wire                    trst_n,
    output reg                     tdo = 1'b1,
    // What the discovery instruction shifts out, bit 0 first.
    input  wire [32*DESC_WORDS-1:0] descriptor,
    // The user data-register port: TCK and TDI go to the cores as they are.
    output wire [USER_COUNT-1:0]   user_select,
    output wire                    user_capture,
    output wire                    user_shift,
    output wire                    user_update,
    output wire                    user_reset,
    input  wire [USER_COUNT-1:0]   user_tdo,
    // For tests and status lights.
    output wire [3:0]              state,
    output wire [IR_LEN-1:0]       instruction
);
    localparam TEST_LOGIC_RESET = 4'd0, CAPTURE_DR = 4'd3, SHIFT_DR = 4'd4,
               UPDATE_DR = 4'd8, SHIFT_IR = 4'd11;
    localparam [IR_LEN-1:0] CODE_IDCODE = IR_IDCODE[IR_LEN-1:0];
    localparam [IR_LEN-1:0] CODE_DISCOVER = IR_DISCOVER[IR_LEN-1:0];

    wire [3:0] next_state;
    jtag_tap_fsm fsm (.tck(tck), .tms(tms), .trst_n(trst_n), .state(state), .next(next_state));

    // IDCODE from Test-Logic-Reset on.
    wire [IR_LEN-1:0] ir;
    wire ir_out;
    jtag_ir #(.LEN(IR_LEN), .RESET_CODE(CODE_IDCODE)) instruction_register (
        .tck(tck), .trst_n(trst_n), .tdi(tdi), .state(state), .next_state(next_state), .ir(ir),
        .shift_out(ir_out));
    reg [31:0] idcode_shift = 32'd0;
    reg bypass_shift = 1'b0;
    reg [32*DESC_WORDS-1:0] descriptor_shift = {32 * DESC_WORDS{1'b0}};
    assign instruction = ir;

    genvar i;
    generate
        for (i = 0; i < USER_COUNT; i = i + 1) begin : user
            localparam [IR_LEN-1:0] CODE = IR_USER + i;
            assign user_select[i] = ir == CODE;
        end
    endgenerate
    assign user_capture = state == CAPTURE_DR;
    assign user_shift   = state == SHIFT_DR;
    assign user_update  = state == UPDATE_DR;
    assign user_reset   = state == TEST_LOGIC_RESET;

    always @(posedge tck) begin
        case (state)
            CAPTURE_DR: begin
                idcode_shift <= IDCODE;
                bypass_shift <= 1'b0;
                descriptor_shift <= descriptor;
            end
            SHIFT_DR: begin
                idcode_shift <= {tdi, idcode_shift[31:1]};
                bypass_shift <= tdi;
                descriptor_shift <= {tdi, descriptor_shift[32*DESC_WORDS-1:1]};
            end
            default: ;
        endcase
    end

    // The data register the instruction selects; unknown instructions are
    // BYPASS.
    reg dr_out;
    always @(*) begin
        if (ir == CODE_IDCODE)        dr_out = idcode_shift[0];
        else if (ir == CODE_DISCOVER) dr_out = descriptor_shift[0];
        else if (|user_select)        dr_out = |(user_select & user_tdo);
        else                          dr_out = bypass_shift;
    end

    // TDO changes on the falling edge; outside the shift states it idles high.
    always @(negedge tck) begin
        if (state == SHIFT_IR)      tdo <= ir_out;
        else if (state == SHIFT_DR) tdo <= dr_out;
        else                        tdo <= 1'b1;
    end
endmodule
