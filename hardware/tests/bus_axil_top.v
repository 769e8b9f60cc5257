// The AXI4-Lite adapter's test bench, as bus_wishbone_top.
module bus_axil_top (
    input  wire        tck, tms, tdi, trst_n,
    output wire        tdo,
    input  wire        clk, aresetn,
    input  wire [3:0]  awaddr,
    input  wire        awvalid,
    output wire        awready,
    input  wire [31:0] wdata,
    input  wire [3:0]  wstrb,
    input  wire        wvalid,
    output wire        wready,
    output wire [1:0]  bresp,
    output wire        bvalid,
    input  wire        bready,
    input  wire [3:0]  araddr,
    input  wire        arvalid,
    output wire        arready,
    output wire [31:0] rdata,
    output wire [1:0]  rresp,
    output wire        rvalid,
    input  wire        rready,
    output wire        irq
);
    wire [7:0] rx_data, tx_data;
    wire rx_valid, rx_ready, tx_valid, tx_ready, host_scan, fpga_tdo;
    jtag_uart_system #(.UARTS(1), .RX_LOG2(3), .TX_LOG2(3)) fpga (
        .tck(tck), .tms(tms), .tdi(tdi), .trst_n(trst_n), .tdo(fpga_tdo), .sys_clk(clk),
        .rx_data(rx_data), .rx_valid(rx_valid), .rx_ready(rx_ready),
        .tx_data(tx_data), .tx_valid(tx_valid), .tx_ready(tx_ready), .host_scan(host_scan));
    other_tap other (.tck(tck), .tms(tms), .tdi(fpga_tdo), .trst_n(trst_n), .tdo(tdo));
    jtag_uart_axil #(.TIMEOUT_LOG2(5'd12)) adapter (
        .aclk(clk), .aresetn(aresetn),
        .s_axil_awaddr(awaddr), .s_axil_awvalid(awvalid), .s_axil_awready(awready),
        .s_axil_wdata(wdata), .s_axil_wstrb(wstrb), .s_axil_wvalid(wvalid), .s_axil_wready(wready),
        .s_axil_bresp(bresp), .s_axil_bvalid(bvalid), .s_axil_bready(bready),
        .s_axil_araddr(araddr), .s_axil_arvalid(arvalid), .s_axil_arready(arready),
        .s_axil_rdata(rdata), .s_axil_rresp(rresp), .s_axil_rvalid(rvalid), .s_axil_rready(rready),
        .irq(irq), .rx_data(rx_data), .rx_valid(rx_valid), .rx_ready(rx_ready),
        .tx_data(tx_data), .tx_valid(tx_valid), .tx_ready(tx_ready), .host_scan(host_scan));
endmodule
