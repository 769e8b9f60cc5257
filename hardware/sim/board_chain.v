// The simulated board's chain: board TDI -> our FPGA's TAP with up to four
// JTAG UARTs -> the other maker's TAP -> board TDO. OpenOCD lists the TAP
// nearest TDO first, so the other maker's chip is device 1 and the FPGA
// device 2. How many UARTs the FPGA carries is chosen at run time by
// `uart_count` (1..4), which the descriptor reports; the jtag-board-sim
// program wires each UART's CPU side to a loopback or a command.
module board_chain (
    input  wire        tck,
    input  wire        tms,
    input  wire        tdi,
    input  wire        trst_n,
    output wire        tdo,
    input  wire [2:0]  uart_count,
    input  wire        sys_clk,
    output wire [31:0] rx_data,
    output wire [3:0]  rx_valid,
    input  wire [3:0]  rx_ready,
    input  wire [31:0] tx_data,
    input  wire [3:0]  tx_valid,
    output wire [3:0]  tx_ready,
    // For the tests: the FPGA TAP's state and instruction.
    output wire [3:0]  tap_state,
    output wire [5:0]  tap_instruction
);
    localparam UARTS = 4, IR_USER = 32;
    localparam [31:0] MAGIC = 32'h55A71C3D;

    wire fpga_tdo;
    wire [32*(2+UARTS)-1:0] descriptor;
    // Only the first `uart_count` cores are described; the others answer
    // their instructions but no host that reads the descriptor uses them.
    assign descriptor[63:0] = {8'd0, 8'd6, 5'd0, uart_count, 8'd1, MAGIC};

    wire [UARTS-1:0] select;
    wire [UARTS-1:0] user_tdo;
    wire capture, shift, update, tap_reset;
    jtag_tap #(.IR_LEN(6), .IR_USER(IR_USER), .USER_COUNT(UARTS), .DESC_WORDS(2 + UARTS)) fpga (
        .tck(tck), .tms(tms), .tdi(tdi), .trst_n(trst_n), .tdo(fpga_tdo), .descriptor(descriptor),
        .user_select(select), .user_capture(capture), .user_shift(shift), .user_update(update),
        .user_reset(tap_reset), .user_tdo(user_tdo), .state(tap_state), .instruction(tap_instruction));

    // The board's CPU sides do not look at host_scan.
    /* verilator lint_off PINCONNECTEMPTY */
    jtag_uart_bank #(.UARTS(UARTS), .IR_USER(IR_USER)) bank (
        .tck(tck), .tdi(tdi), .select(select), .capture(capture), .shift(shift), .update(update),
        .tap_reset(tap_reset), .user_tdo(user_tdo), .words(descriptor[32*(2+UARTS)-1:64]), .sys_clk(sys_clk),
        .rx_data(rx_data), .rx_valid(rx_valid), .rx_ready(rx_ready),
        .tx_data(tx_data), .tx_valid(tx_valid), .tx_ready(tx_ready), .host_scan());
    /* verilator lint_on PINCONNECTEMPTY */

    other_tap other (.tck(tck), .tms(tms), .tdi(fpga_tdo), .trst_n(trst_n), .tdo(tdo));
endmodule
