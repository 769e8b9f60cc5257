// A JTAG UART behind the FPGA's own TAP on ECP5 parts: the JTAGG primitive's
// ER1 (CHAIN 1) or ER2 (CHAIN 2) user instruction. JTAGG gives no select or
// capture signals of their own: capture is JCEn outside Shift-DR, and the
// selection is held from Capture-DR until Update-DR. TDO is held from the
// falling edge, so that the primitive finds it stable on either edge and a
// JTCK that comes late (the core shifting a clock early) loses no bit. No
// document gives JTAGG's timing: with TDI registered by the primitive (the
// core sees a stale bit first and misses the last) and TDO sampled by it on
// the falling edge (the header a bit late), the data register's framing
// makes up the difference (hardware/README.md). Tried against the models of
// hardware/sim/JTAGG.v, placed and routed for an LFE5U-25F; not on a board.
module ecp5_jtag_uart #(parameter CHAIN = 1, parameter RX_LOG2 = 6, parameter TX_LOG2 = 6) (
    // CPU side (system clock domain): a valid/ready byte stream each way.
    input wire sys_clk, output wire [7:0] rx_data, output wire rx_valid, input wire rx_ready,
    input wire [7:0] tx_data, input wire tx_valid, output wire tx_ready,
    // A one-sys_clk pulse after each capture by a host.
    output wire host_scan
);
    wire tck, tdi, shift, update, reset_n, enable1, enable2, core_tdo;
    reg  tdo_held = 1'b0;
    reg  selected = 1'b0;
    wire enable = CHAIN == 2 ? enable2 : enable1;

    // TCK, TMS, TDI and TDO are the chip's JTAG pins: left unconnected (the
    // placer cannot route a constant to them).
    /* verilator lint_off PINCONNECTEMPTY */
    JTAGG jtag (
        .TCK(), .TMS(), .TDI(), .TDO(), .JTDI(tdi), .JTCK(tck), .JRTI1(), .JRTI2(),
        .JSHIFT(shift), .JUPDATE(update), .JRSTN(reset_n), .JCE1(enable1), .JCE2(enable2),
        .JTDO1(tdo_held), .JTDO2(tdo_held));
    /* verilator lint_on PINCONNECTEMPTY */

    always @(posedge tck) begin
        if (!reset_n || update) selected <= 1'b0;
        else if (enable)        selected <= 1'b1;
    end
    always @(negedge tck) tdo_held <= core_tdo;

    // ER1 is instruction 0x32, ER2 0x38.
    jtag_uart #(.RX_LOG2(RX_LOG2), .TX_LOG2(TX_LOG2), .ID(CHAIN == 2 ? 8'h38 : 8'h32)) core (
        .tck(tck), .tdi(tdi), .tdo(core_tdo), .select(enable | selected), .capture(enable & ~shift),
        .shift(enable & shift), .update(update), .tap_reset(~reset_n), .sys_clk(sys_clk),
        .rx_data(rx_data), .rx_valid(rx_valid), .rx_ready(rx_ready),
        .tx_data(tx_data), .tx_valid(tx_valid), .tx_ready(tx_ready), .host_scan(host_scan));
endmodule
