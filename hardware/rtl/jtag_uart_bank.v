// UARTS jtag_uart cores on consecutive user instructions of one TAP (from
// IR_USER up), with the descriptor words that describe them: what a device
// of our own (jtag_uart_system) and the simulated board's FPGA share.
module jtag_uart_bank #(
    parameter UARTS   = 1,
    parameter IR_USER = 32,
    parameter RX_LOG2 = 6,
    parameter TX_LOG2 = 6
) (
    // The TAP's user data-register port; core i answers select[i].
    input  wire                tck, tdi,
    input  wire [UARTS-1:0]    select,
    input  wire                capture, shift, update, tap_reset,
    output wire [UARTS-1:0]    user_tdo,
    // Descriptor word 2 + i describes core i.
    output wire [32*UARTS-1:0] words,
    // The CPU sides (system clock domain): UART i uses bits [8*i+7:8*i] and [i].
    input wire sys_clk, output wire [8*UARTS-1:0] rx_data, output wire [UARTS-1:0] rx_valid,
    input wire [UARTS-1:0] rx_ready, input wire [8*UARTS-1:0] tx_data, input wire [UARTS-1:0] tx_valid,
    output wire [UARTS-1:0] tx_ready,
    // Core i pulses host_scan[i] (sys_clk) after each capture by a host.
    output wire [UARTS-1:0] host_scan
);
    localparam [3:0] RX_SIZE = RX_LOG2[3:0];
    localparam [3:0] TX_SIZE = TX_LOG2[3:0];

    genvar i;
    generate
        for (i = 0; i < UARTS; i = i + 1) begin : uart
            localparam [7:0] CODE = IR_USER + i;
            assign words[32*i +: 32] = {8'd0, 8'd3, TX_SIZE, RX_SIZE, CODE};
            jtag_uart #(.RX_LOG2(RX_LOG2), .TX_LOG2(TX_LOG2), .ID(CODE)) core (
                .tck(tck), .tdi(tdi), .tdo(user_tdo[i]), .select(select[i]), .capture(capture),
                .shift(shift), .update(update), .tap_reset(tap_reset), .sys_clk(sys_clk),
                .rx_data(rx_data[8*i +: 8]), .rx_valid(rx_valid[i]), .rx_ready(rx_ready[i]),
                .tx_data(tx_data[8*i +: 8]), .tx_valid(tx_valid[i]), .tx_ready(tx_ready[i]),
                .host_scan(host_scan[i]));
        end
    endgenerate
endmodule
