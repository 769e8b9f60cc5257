// An AXI4-Lite slave (32-bit data) in front of the CPU side of any JTAG UART
// core: the registers of jtag_uart_regs (hardware/README.md), as
// jtag_uart_wishbone has them. One write and one read at a time:
// - write: AW and W are taken in any order (each READY is high while its
//   channel holds nothing); the write is done once both are in, and B
//   answers it. A DATA write that has to wait for room in the transmit FIFO
//   waits with both held (AWREADY and WREADY low, no B) until the byte is in.
// - read: AR is taken while no R is pending; R carries the register as it
//   was then, and a DATA byte leaves the receive FIFO only when R is taken
//   (RVALID and RREADY), so a reset before that leaves it there.
// Offset 0xC answers SLVERR (reads give zero, writes do nothing).
module jtag_uart_axil #(
    parameter       ADDR_WIDTH   = 4,     // byte address bits seen (at least 4)
    parameter [4:0] TIMEOUT_LOG2 = 5'd27  // reset value of CONTROL.TIMEOUT
) (
    input  wire                  aclk,
    input  wire                  aresetn,
    input  wire [ADDR_WIDTH-1:0] s_axil_awaddr,
    input  wire                  s_axil_awvalid,
    output wire                  s_axil_awready,
    input  wire [31:0]           s_axil_wdata,
    input  wire [3:0]            s_axil_wstrb,
    input  wire                  s_axil_wvalid,
    output wire                  s_axil_wready,
    output reg  [1:0]            s_axil_bresp,
    output reg                   s_axil_bvalid,
    input  wire                  s_axil_bready,
    input  wire [ADDR_WIDTH-1:0] s_axil_araddr,
    input  wire                  s_axil_arvalid,
    output wire                  s_axil_arready,
    output reg  [31:0]           s_axil_rdata,
    output reg  [1:0]            s_axil_rresp,
    output reg                   s_axil_rvalid,
    input  wire                  s_axil_rready,
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
    localparam [1:0] OKAY = 2'b00, SLVERR = 2'b10;
    wire rst = !aresetn;

    /* verilator lint_off UNUSEDSIGNAL */
    wire [2*ADDR_WIDTH-1:0] unused_address = {s_axil_awaddr, s_axil_araddr};  // the interconnect decodes the rest
    /* verilator lint_on UNUSEDSIGNAL */

    // Write: the address and the data, each held once taken.
    reg        aw_held = 1'b0;
    reg  [1:0] aw_register = 2'd0;
    reg        w_held = 1'b0;
    reg [31:0] w_data = 32'd0;
    reg  [3:0] w_strb = 4'd0;
    wire       write_ready;
    wire       aw_mapped = aw_register != 2'd3;
    // The held write goes to the registers once B is free for its answer.
    wire       write = aw_held && w_held && !s_axil_bvalid && !rst;
    wire       write_done = write && (write_ready || !aw_mapped);

    assign s_axil_awready = !aw_held && !rst;
    assign s_axil_wready = !w_held && !rst;

    always @(posedge aclk) begin
        if (rst) begin
            aw_held <= 1'b0;
            w_held <= 1'b0;
            s_axil_bvalid <= 1'b0;
            s_axil_bresp <= OKAY;
        end else begin
            if (s_axil_awvalid && s_axil_awready) begin
                aw_held <= 1'b1;
                aw_register <= s_axil_awaddr[3:2];
            end
            if (s_axil_wvalid && s_axil_wready) begin
                w_held <= 1'b1;
                w_data <= s_axil_wdata;
                w_strb <= s_axil_wstrb;
            end
            if (write_done) begin
                aw_held <= 1'b0;
                w_held <= 1'b0;
                s_axil_bvalid <= 1'b1;
                s_axil_bresp <= aw_mapped ? OKAY : SLVERR;
            end else if (s_axil_bvalid && s_axil_bready) begin
                s_axil_bvalid <= 1'b0;
            end
        end
    end

    // Read: the register is sampled at AR; a DATA byte read valid is taken at R.
    reg        r_pops = 1'b0;   // the pending R carries a valid DATA byte
    wire [1:0] ar_register = s_axil_araddr[3:2];
    wire [31:0] read_value;
    wire       r_taken = s_axil_rvalid && s_axil_rready;

    assign s_axil_arready = !s_axil_rvalid && !rst;

    always @(posedge aclk) begin
        if (rst) begin
            s_axil_rvalid <= 1'b0;
            s_axil_rresp <= OKAY;
            r_pops <= 1'b0;
        end else if (s_axil_arvalid && s_axil_arready) begin
            s_axil_rvalid <= 1'b1;
            s_axil_rdata <= read_value;
            s_axil_rresp <= ar_register == 2'd3 ? SLVERR : OKAY;
            r_pops <= ar_register == 2'd0 && read_value[8];
        end else if (r_taken) begin
            s_axil_rvalid <= 1'b0;
            r_pops <= 1'b0;
        end
    end

    jtag_uart_regs #(.TIMEOUT_LOG2(TIMEOUT_LOG2)) regs (
        .clk(aclk), .rst(rst),
        .rd_addr(ar_register), .rd_data(read_value), .rx_pop(r_taken && r_pops), .rx_hold(r_pops),
        .wr_en(write && aw_mapped), .wr_addr(aw_register), .wr_data(w_data), .wr_strb(w_strb),
        .wr_ready(write_ready),
        .rx_data(rx_data), .rx_valid(rx_valid), .rx_ready(rx_ready),
        .tx_data(tx_data), .tx_valid(tx_valid), .tx_ready(tx_ready), .host_scan(host_scan), .irq(irq));
endmodule
