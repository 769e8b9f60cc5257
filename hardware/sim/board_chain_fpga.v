// The simulated board's chain with another maker's FPGA: board TDI -> a
// device in BYPASS -> the FPGA (its TAP, `fpga_tap`, and one JTAG UART
// behind the maker's primitive, through the wrapper of hardware/fpga/) ->
// another device in BYPASS -> board TDO. ECP5 = 1: an LFE5U-25F with the
// core on JTAGG's ER1 (ecp5_jtag_uart); 0: an XC7A35T with the core on
// BSCANE2's USER1 (xc7_jtag_uart). The ports are those of board_chain, so
// that the same board program serves it; the FPGA carries one UART
// (`uart_count` is not read).
/* verilator lint_off UNUSEDSIGNAL */
module board_chain_fpga #(parameter integer ECP5 = 1) (
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
    localparam IS_ECP5 = ECP5 != 0;
    localparam IR_LEN = IS_ECP5 ? 8 : 6;
    // ECP5: IDCODE 0xE0, ER1 0x32, ER2 0x38; 7-series: IDCODE 0x09, USER1..4 0x02, 0x03, 0x22, 0x23.
    localparam [7:0] CODE_IDCODE = IS_ECP5 ? 8'hE0 : 8'h09;
    localparam [7:0] CODE_USER1 = IS_ECP5 ? 8'h32 : 8'h02;
    localparam [7:0] CODE_USER2 = IS_ECP5 ? 8'h38 : 8'h03;
    localparam [7:0] CODE_USER3 = IS_ECP5 ? 8'hFF : 8'h22;
    localparam [7:0] CODE_USER4 = IS_ECP5 ? 8'hFF : 8'h23;
    wire after_first, after_fpga;
    /* verilator lint_off UNUSEDSIGNAL */
    wire [IR_LEN-1:0] instruction;  // the tests read its low six bits
    /* verilator lint_on UNUSEDSIGNAL */
    /* verilator lint_off PINCONNECTEMPTY */
    other_tap #(.IDCODE(32'h10A52E2B)) near_tdi (
        .tck(tck), .tms(tms), .tdi(tdi), .trst_n(trst_n), .tdo(after_first));
    fpga_tap #(.IR_LEN(IR_LEN), .IDCODE(IS_ECP5 ? 32'h41111043 : 32'h0362D093), .IR_IDCODE(CODE_IDCODE[IR_LEN-1:0]),
               .USER1(CODE_USER1[IR_LEN-1:0]), .USER2(CODE_USER2[IR_LEN-1:0]), .USER3(CODE_USER3[IR_LEN-1:0]),
               .USER4(CODE_USER4[IR_LEN-1:0])) fpga_tap (
        .tck(tck), .tms(tms), .tdi(after_first), .trst_n(trst_n), .tdo(after_fpga), .state(tap_state),
        .next_state(), .instruction(instruction), .next_instruction());
    other_tap near_tdo (.tck(tck), .tms(tms), .tdi(after_fpga), .trst_n(trst_n), .tdo(tdo));
    assign tap_instruction = instruction[5:0];

    // The board's CPU side does not look at host_scan.
    generate
        if (IS_ECP5) begin : ecp5
            ecp5_jtag_uart #(.CHAIN(1)) uart (
                .sys_clk(sys_clk), .rx_data(rx_data[7:0]), .rx_valid(rx_valid[0]), .rx_ready(rx_ready[0]),
                .tx_data(tx_data[7:0]), .tx_valid(tx_valid[0]), .tx_ready(tx_ready[0]), .host_scan());
        end else begin : xc7
            xc7_jtag_uart #(.CHAIN(1)) uart (
                .sys_clk(sys_clk), .rx_data(rx_data[7:0]), .rx_valid(rx_valid[0]), .rx_ready(rx_ready[0]),
                .tx_data(tx_data[7:0]), .tx_valid(tx_valid[0]), .tx_ready(tx_ready[0]), .host_scan());
        end
    endgenerate
    /* verilator lint_on PINCONNECTEMPTY */
    assign rx_data[31:8] = 24'd0;
    assign rx_valid[3:1] = 3'd0;
    assign tx_ready[3:1] = 3'd0;
endmodule
