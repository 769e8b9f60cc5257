// Reference design for the ULX3S (LFE5U-25F, CABGA381): the JTAG UART on ER1
// of the chip's own TAP, every byte it receives sent back to the host, and
// the count of those bytes (modulo 256) on the eight LEDs. The CPU side runs
// at 50 MHz from the PLL (the board's oscillator is 25 MHz).
module ulx3s_jtag_echo (
    input  wire       clk_25mhz,
    output wire [7:0] led
);
    wire sys_clk, pll_locked;

    // 25 MHz in, 50 MHz out: VCO 600 MHz (25 * 2 * 12), CLKOP divides by 12.
    (* FREQUENCY_PIN_CLKI = "25" *) (* FREQUENCY_PIN_CLKOP = "50" *)
    (* ICP_CURRENT = "12" *) (* LPF_RESISTOR = "8" *) (* MFG_ENABLE_FILTEROPAMP = "1" *)
    (* MFG_GMCREF_SEL = "2" *)
    EHXPLLL #(
        .PLLRST_ENA("DISABLED"), .INTFB_WAKE("DISABLED"), .STDBY_ENABLE("DISABLED"),
        .DPHASE_SOURCE("DISABLED"), .OUTDIVIDER_MUXA("DIVA"), .OUTDIVIDER_MUXB("DIVB"),
        .OUTDIVIDER_MUXC("DIVC"), .OUTDIVIDER_MUXD("DIVD"), .CLKI_DIV(1), .CLKFB_DIV(2),
        .CLKOP_ENABLE("ENABLED"), .CLKOP_DIV(12), .CLKOP_CPHASE(5), .CLKOP_FPHASE(0),
        .FEEDBK_PATH("CLKOP")
    ) pll (
        .CLKI(clk_25mhz), .CLKFB(sys_clk), .CLKOP(sys_clk), .LOCK(pll_locked), .RST(1'b0),
        .STDBY(1'b0), .PHASESEL0(1'b0), .PHASESEL1(1'b0), .PHASEDIR(1'b1), .PHASESTEP(1'b1),
        .PHASELOADREG(1'b1), .PLLWAKESYNC(1'b0), .ENCLKOP(1'b0));

    wire [7:0] rx_data;
    wire       rx_valid, tx_ready;
    // Echo: a received byte is offered to the transmit FIFO as it stands and
    // leaves the receive FIFO in the same clock as it enters the other one.
    // Nothing moves until the PLL has locked.
    wire       moves = pll_locked & rx_valid & tx_ready;

    // By name: outputs the wrapper may add stay unconnected.
    ecp5_jtag_uart #(.CHAIN(1)) uart (
        .sys_clk(sys_clk), .rx_data(rx_data), .rx_valid(rx_valid), .rx_ready(pll_locked & tx_ready),
        .tx_data(rx_data), .tx_valid(pll_locked & rx_valid), .tx_ready(tx_ready));

    reg [7:0] echoed = 8'd0;
    always @(posedge sys_clk) if (moves) echoed <= echoed + 8'd1;
    assign led = echoed;
endmodule
