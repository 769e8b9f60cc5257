// A device of our own with JTAG UARTs: jtag_tap with UARTS jtag_uart cores
// on its user instructions (jtag_uart_bank) and the descriptor that lists
// them. For FPGAs whose own TAP hands out user instructions, see
// hardware/fpga/ instead.
module jtag_uart_system #(
    parameter        UARTS   = 1,  // 1..8
    parameter        RX_LOG2 = 6,
    parameter        TX_LOG2 = 6,
    parameter [31:0] IDCODE  = 32'h17E01F57
) (
    input  wire               tck,
    input  wire               tms,
    input  wire               tdi,
    input  wire               trst_n,
    output wire               tdo,
    // The CPU sides (system clock domain): UART i uses bits [8*i+7:8*i] and [i].
    input wire sys_clk, output wire [8*UARTS-1:0] rx_data, output wire [UARTS-1:0] rx_valid,
    input wire [UARTS-1:0] rx_ready, input wire [8*UARTS-1:0] tx_data, input wire [UARTS-1:0] tx_valid,
    output wire [UARTS-1:0] tx_ready,
    // Core i pulses host_scan[i] (sys_clk) after each capture by a host.
    output wire [UARTS-1:0] host_scan
);
    localparam IR_LEN = 6, IR_USER = 32;
    localparam [31:0] MAGIC = 32'h55A71C3D;
    localparam [7:0] COUNT = UARTS[7:0];

    wire [32*(2+UARTS)-1:0] descriptor;
    assign descriptor[63:0] = {8'd0, 8'd6, COUNT, 8'd1, MAGIC};

    wire [UARTS-1:0] select;
    wire [UARTS-1:0] user_tdo;
    wire capture, shift, update, tap_reset;
    /* verilator lint_off PINCONNECTEMPTY */
    jtag_tap #(.IR_LEN(IR_LEN), .IDCODE(IDCODE), .IR_USER(IR_USER), .USER_COUNT(UARTS),
               .DESC_WORDS(2 + UARTS)) tap (
        .tck(tck), .tms(tms), .tdi(tdi), .trst_n(trst_n), .tdo(tdo), .descriptor(descriptor),
        .user_select(select), .user_capture(capture), .user_shift(shift), .user_update(update),
        .user_reset(tap_reset), .user_tdo(user_tdo), .state(), .instruction());
    /* verilator lint_on PINCONNECTEMPTY */

    jtag_uart_bank #(.UARTS(UARTS), .IR_USER(IR_USER), .RX_LOG2(RX_LOG2), .TX_LOG2(TX_LOG2)) bank (
        .tck(tck), .tdi(tdi), .select(select), .capture(capture), .shift(shift), .update(update),
        .tap_reset(tap_reset), .user_tdo(user_tdo), .words(descriptor[32*(2+UARTS)-1:64]), .sys_clk(sys_clk),
        .rx_data(rx_data), .rx_valid(rx_valid), .rx_ready(rx_ready),
        .tx_data(tx_data), .tx_valid(tx_valid), .tx_ready(tx_ready), .host_scan(host_scan));
endmodule
