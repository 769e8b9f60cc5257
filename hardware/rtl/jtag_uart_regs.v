// The register file of a JTAG UART as a CPU sees it, shared by the bus
// adapters (jtag_uart_wishbone, jtag_uart_axil): DATA, STATUS and CONTROL
// over the CPU side of any JTAG UART core (our own TAP's or an FPGA
// wrapper's), host presence from its host_scan pulses, the drop mode and the
// interrupt. hardware/README.md has the register map.
//
// Reads show register rd_addr at once and never wait; a read of DATA
// consumes its byte only when the adapter raises rx_pop (when the bus takes
// the data), so a read that is cut off by a reset leaves the byte in the FIFO.
// A write happens on the clock edge where wr_en and wr_ready are both high;
// wr_ready is low only for a DATA write to a full transmit FIFO that must
// wait (blocking mode, or drop mode while a host is present).
module jtag_uart_regs #(
    parameter [4:0] TIMEOUT_LOG2 = 5'd27  // reset value of CONTROL.TIMEOUT
) (
    input  wire        clk,
    input  wire        rst,       // synchronous; the core's FIFOs keep their bytes
    // Read port: register rd_addr (word index) on rd_data.
    input  wire [1:0]  rd_addr,
    output reg  [31:0] rd_data,
    input  wire        rx_pop,    // the DATA byte shown (valid) is taken now
    input  wire        rx_hold,   // a DATA byte has been read out, not yet taken: flush waits
    // Write port.
    input  wire        wr_en,
    input  wire [1:0]  wr_addr,
    input  wire [31:0] wr_data,
    input  wire [3:0]  wr_strb,
    output wire        wr_ready,
    // The core's CPU side.
    input  wire [7:0]  rx_data,
    input  wire        rx_valid,
    output wire        rx_ready,
    output wire [7:0]  tx_data,
    output wire        tx_valid,
    input  wire        tx_ready,
    input  wire        host_scan,
    output reg         irq
);
    localparam [1:0] DATA = 2'd0, STATUS = 2'd1, CONTROL = 2'd2;

    // CONTROL
    reg        rx_irq_enable = 1'b0;
    reg        tx_irq_enable = 1'b0;
    reg        host_irq_enable = 1'b0;
    reg        drop_mode = 1'b1;
    reg  [4:0] timeout_log2 = TIMEOUT_LOG2;
    // State
    reg        flushing = 1'b0;
    reg        present = 1'b0;     // a host scanned within the timeout
    reg        host_changed = 1'b0;
    reg [31:0] idle = 32'd0;       // sys_clk cycles since the last scan (while present)
    reg [15:0] dropped = 16'd0;    // saturates

    /* verilator lint_off UNUSEDSIGNAL */
    wire [20:0] unused_write = {wr_data[31:13], wr_strb[3:2]};  // no register has these bits
    /* verilator lint_on UNUSEDSIGNAL */

    wire dropping = drop_mode && !present;
    wire data_write = wr_en && wr_addr == DATA && wr_strb[0];
    wire drop_now = data_write && !tx_ready && dropping;
    wire flush_pop = flushing && rx_valid && !rx_hold;
    wire rx_shown = rx_valid && !flushing;

    assign tx_data = wr_data[7:0];
    assign tx_valid = data_write && !rst;
    assign wr_ready = !data_write || tx_ready || dropping;
    assign rx_ready = !rst && ((rx_pop && rx_shown) || flush_pop);

    always @(*) begin
        case (rd_addr)
            DATA:    rd_data = {23'd0, rx_shown, rx_shown ? rx_data : 8'd0};
            STATUS:  rd_data = {dropped, 8'd0, 1'b0, irq, flushing, host_changed, dropping, present,
                                tx_ready, rx_shown};
            CONTROL: rd_data = {19'd0, timeout_log2, 3'd0, drop_mode, 1'b0, host_irq_enable,
                                tx_irq_enable, rx_irq_enable};
            default: rd_data = 32'd0;
        endcase
    end

    wire write_status = wr_en && wr_addr == STATUS && wr_strb[0];
    wire write_control = wr_en && wr_addr == CONTROL;
    wire timed_out = idle[timeout_log2];

    always @(posedge clk) begin
        if (rst) begin
            rx_irq_enable <= 1'b0;
            tx_irq_enable <= 1'b0;
            host_irq_enable <= 1'b0;
            drop_mode <= 1'b1;
            timeout_log2 <= TIMEOUT_LOG2;
            flushing <= 1'b0;
            present <= 1'b0;
            host_changed <= 1'b0;
            idle <= 32'd0;
            dropped <= 16'd0;
            irq <= 1'b0;
        end else begin
            // Clearing first: a change or a drop in the same clock still counts.
            if (write_status) begin
                if (wr_data[4]) host_changed <= 1'b0;
                if (wr_data[7]) dropped <= 16'd0;
            end
            // Host presence: set by a scan, cleared 2**timeout_log2 cycles after the last.
            if (host_scan) begin
                idle <= 32'd0;
                present <= 1'b1;
                if (!present) host_changed <= 1'b1;
            end else if (present) begin
                if (timed_out) begin
                    present <= 1'b0;
                    host_changed <= 1'b1;
                end else begin
                    idle <= idle + 32'd1;
                end
            end
            if (drop_now && dropped != 16'hFFFF) dropped <= dropped + 16'd1;
            if (write_control && wr_strb[0]) begin
                rx_irq_enable <= wr_data[0];
                tx_irq_enable <= wr_data[1];
                host_irq_enable <= wr_data[2];
                drop_mode <= wr_data[4];
            end
            if (write_control && wr_strb[1]) timeout_log2 <= wr_data[12:8];
            // A flush takes one byte per clock until the receive FIFO shows none.
            if (write_control && wr_strb[0] && wr_data[3]) flushing <= 1'b1;
            else if (flushing && !rx_valid) flushing <= 1'b0;
            irq <= (rx_irq_enable && rx_shown) || (tx_irq_enable && tx_ready) ||
                   (host_irq_enable && host_changed);
        end
    end
endmodule
