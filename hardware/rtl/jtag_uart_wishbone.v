// A Wishbone B4 classic slave (32-bit data, byte selects) in front of the
// CPU side of any JTAG UART core: the registers of jtag_uart_regs
// (hardware/README.md). ACK answers in the same cycle as STB (asynchronous
// cycle termination): every access takes one clock, back to back, except a
// DATA write that has to wait for room in the transmit FIFO, which holds
// ACK low (wait states) until the byte is in. Offset 0xC answers ERR.
module jtag_uart_wishbone #(
    parameter       ADDR_WIDTH   = 4,     // byte address bits seen (at least 4)
    parameter [4:0] TIMEOUT_LOG2 = 5'd27  // reset value of CONTROL.TIMEOUT
) (
    input  wire                  clk,
    input  wire                  rst,     // synchronous, active high
    input  wire                  wb_cyc,
    input  wire                  wb_stb,
    input  wire                  wb_we,
    input  wire [ADDR_WIDTH-1:0] wb_adr,  // byte address; bits 3..2 select the register
    input  wire [31:0]           wb_dat_w,
    input  wire [3:0]            wb_sel,
    output wire [31:0]           wb_dat_r,
    output wire                  wb_ack,
    output wire                  wb_err,
    output wire                  irq,
    // The core's CPU side.
    input  wire [7:0]            rx_data,
    input  wire                  rx_valid,
    output wire                  rx_ready,
    output wire [7:0]            tx_data,
    output wire                  tx_valid,
    input  wire                  tx_ready,
    input  wire                  host_scan
);
    wire [1:0] register = wb_adr[3:2];
    wire request = wb_cyc && wb_stb && !rst;
    wire mapped = register != 2'd3;
    wire write_ready;

    /* verilator lint_off UNUSEDSIGNAL */
    wire [ADDR_WIDTH-1:0] unused_address = wb_adr;  // the interconnect decodes the rest
    /* verilator lint_on UNUSEDSIGNAL */

    assign wb_ack = request && mapped && (!wb_we || write_ready);
    assign wb_err = request && !mapped;

    jtag_uart_regs #(.TIMEOUT_LOG2(TIMEOUT_LOG2)) regs (
        .clk(clk), .rst(rst),
        .rd_addr(register), .rd_data(wb_dat_r),
        // A read consumes the DATA byte only when its byte lane is selected.
        .rx_pop(request && !wb_we && register == 2'd0 && wb_sel[0]), .rx_hold(1'b0),
        .wr_en(request && wb_we && mapped), .wr_addr(register), .wr_data(wb_dat_w), .wr_strb(wb_sel),
        .wr_ready(write_ready),
        .rx_data(rx_data), .rx_valid(rx_valid), .rx_ready(rx_ready),
        .tx_data(tx_data), .tx_valid(tx_valid), .tx_ready(tx_ready), .host_scan(host_scan), .irq(irq));
endmodule
