// The simulated board's chain with a 7-series FPGA: board TDI -> a device in BYPASS
// -> the FPGA (its TAP, `fpga_tap`, and one JTAG UART behind BSCANE2 on USER1,
// hardware/fpga/xc7_jtag_uart.v) -> another device in BYPASS -> board
// TDO. The ports are those of board_chain, so that the same board program
// serves it; the FPGA carries one UART (`uart_count` is not read).
/* verilator lint_off UNUSEDSIGNAL */
module board_chain_xc7 (
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
    output wire [3:0]  tap_state,
    output wire [5:0]  tap_instruction
);
/* verilator lint_on UNUSEDSIGNAL */
    wire after_first, after_fpga;
    wire [5:0] instruction;
    /* verilator lint_off PINCONNECTEMPTY */
    other_tap #(.IDCODE(32'h10A52E2B)) near_tdi (
        .tck(tck), .tms(tms), .tdi(tdi), .trst_n(trst_n), .tdo(after_first));
    fpga_tap #(.IR_LEN(6), .IDCODE(32'h0362D093), .IR_IDCODE(6'h09), .USER1(6'h02), .USER2(6'h03), .USER3(6'h22),
               .USER4(6'h23)) fpga_tap (
        .tck(tck), .tms(tms), .tdi(after_first), .trst_n(trst_n), .tdo(after_fpga), .state(tap_state),
        .next_state(), .instruction(instruction), .next_instruction());
    /* verilator lint_on PINCONNECTEMPTY */
    other_tap near_tdo (.tck(tck), .tms(tms), .tdi(after_fpga), .trst_n(trst_n), .tdo(tdo));
    assign tap_instruction = instruction;

    // The board's CPU side does not look at host_scan.
    /* verilator lint_off PINCONNECTEMPTY */
    xc7_jtag_uart #(.CHAIN(1)) uart (
        .sys_clk(sys_clk), .rx_data(rx_data[7:0]), .rx_valid(rx_valid[0]), .rx_ready(rx_ready[0]),
        .tx_data(tx_data[7:0]), .tx_valid(tx_valid[0]), .tx_ready(tx_ready[0]), .host_scan());
    /* verilator lint_on PINCONNECTEMPTY */
    assign rx_data[31:8] = 24'd0;
    assign rx_valid[3:1] = 3'd0;
    assign tx_ready[3:1] = 3'd0;
endmodule
