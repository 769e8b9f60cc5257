// A JTAG UART behind the FPGA's own TAP on 7-series parts: the BSCANE2
// primitive hands the user data-register port of USER1..USER4 (CHAIN 1..4)
// to the core. Tried against the model of hardware/sim/BSCANE2.v and
// synthesized; not on a board.
module xc7_jtag_uart #(parameter CHAIN = 1, parameter RX_LOG2 = 6, parameter TX_LOG2 = 6) (
    // CPU side (system clock domain): a valid/ready byte stream each way.
    input wire sys_clk, output wire [7:0] rx_data, output wire rx_valid, input wire rx_ready,
    input wire [7:0] tx_data, input wire tx_valid, output wire tx_ready,
    // A one-sys_clk pulse after each capture by a host.
    output wire host_scan
);
    wire tck, tdi, tdo, select, capture, shift, update, tap_reset;

    /* verilator lint_off PINCONNECTEMPTY */
    BSCANE2 #(.JTAG_CHAIN(CHAIN)) user_port (
        .CAPTURE(capture), .DRCK(), .RESET(tap_reset), .RUNTEST(), .SEL(select), .SHIFT(shift),
        .TCK(tck), .TDI(tdi), .TMS(), .UPDATE(update), .TDO(tdo));
    /* verilator lint_on PINCONNECTEMPTY */

    // USER1..USER4 are instructions 0x02, 0x03, 0x22, 0x23 (IR length 6).
    localparam [7:0] USER_IR = CHAIN == 1 ? 8'h02 : CHAIN == 2 ? 8'h03 : CHAIN == 3 ? 8'h22 : 8'h23;
    jtag_uart #(.RX_LOG2(RX_LOG2), .TX_LOG2(TX_LOG2), .ID(USER_IR)) core (
        .tck(tck), .tdi(tdi), .tdo(tdo), .select(select), .capture(capture), .shift(shift),
        .update(update), .tap_reset(tap_reset), .sys_clk(sys_clk),
        .rx_data(rx_data), .rx_valid(rx_valid), .rx_ready(rx_ready),
        .tx_data(tx_data), .tx_valid(tx_valid), .tx_ready(tx_ready), .host_scan(host_scan));
endmodule
