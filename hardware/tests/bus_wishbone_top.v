// The Wishbone adapter's test bench: a device of our own with one JTAG UART
// (small FIFOs, a short host timeout), then the other maker's TAP as on the
// simulated board, so the tests' JTAG host reaches the UART as it does there.
module bus_wishbone_top (
    input  wire        tck, tms, tdi, trst_n,
    output wire        tdo,
    input  wire        clk, rst,
    input  wire        wb_cyc, wb_stb, wb_we,
    input  wire [3:0]  wb_adr,
    input  wire [31:0] wb_dat_w,
    input  wire [3:0]  wb_sel,
    output wire [31:0] wb_dat_r,
    output wire        wb_ack, wb_err, irq
);
    wire [7:0] rx_data, tx_data;
    wire rx_valid, rx_ready, tx_valid, tx_ready, host_scan, fpga_tdo;
    jtag_uart_system #(.UARTS(1), .RX_LOG2(3), .TX_LOG2(3)) fpga (
        .tck(tck), .tms(tms), .tdi(tdi), .trst_n(trst_n), .tdo(fpga_tdo), .sys_clk(clk),
        .rx_data(rx_data), .rx_valid(rx_valid), .rx_ready(rx_ready),
        .tx_data(tx_data), .tx_valid(tx_valid), .tx_ready(tx_ready), .host_scan(host_scan));
    other_tap other (.tck(tck), .tms(tms), .tdi(fpga_tdo), .trst_n(trst_n), .tdo(tdo));
    jtag_uart_wishbone #(.TIMEOUT_LOG2(5'd12)) adapter (
        .clk(clk), .rst(rst), .wb_cyc(wb_cyc), .wb_stb(wb_stb), .wb_we(wb_we), .wb_adr(wb_adr),
        .wb_dat_w(wb_dat_w), .wb_sel(wb_sel), .wb_dat_r(wb_dat_r), .wb_ack(wb_ack), .wb_err(wb_err),
        .irq(irq), .rx_data(rx_data), .rx_valid(rx_valid), .rx_ready(rx_ready),
        .tx_data(tx_data), .tx_valid(tx_valid), .tx_ready(tx_ready), .host_scan(host_scan));
endmodule
