// The JTAG UART core: a receive FIFO (host to CPU) and a transmit FIFO (CPU
// to host) between the user data-register port of a TAP (TCK domain) and a
// CPU's byte streams (system clock domain). The data register (version 3)
// moves up to 255 bytes each way per scan behind a 56-bit header;
// hardware/README.md describes it. A scan takes and gives bytes only when it
// reaches Update-DR with the length its header declared (or one bit more,
// the host's padding, which a primitive that hands the core TDI a clock late
// keeps back), naming this core and its byte counts as they stand: a scan
// cut short takes nothing, a scan meant for another core (another host
// changed the instruction) takes nothing, and a commit sent again after a
// lost reply finds the counts moved on.
// Bits are read as they arrive: the field starts with the first one after a
// zero. Before it come the bypass bits of devices nearer TDO and the capture
// bits of devices nearer TDI (zeros), and where a primitive registers TDI,
// the bit its register held (a one where a device nearer TDI idles its TDO
// high); the host's field begins with a zero of its own.
module jtag_uart #(
    parameter RX_LOG2 = 6,  // receive FIFO depth 2**RX_LOG2 (2..7)
    parameter TX_LOG2 = 6,  // transmit FIFO depth 2**TX_LOG2 (2..7)
    parameter [7:0] ID = 8'h20  // the low byte of the user instruction it sits on
) (
    // User data-register port (TCK domain).
    input  wire       tck,
    input  wire       tdi,
    output wire       tdo,
    input  wire       select,
    input  wire       capture,
    input  wire       shift,
    input  wire       update,
    input  wire       tap_reset,
    // CPU side (system clock domain): a valid/ready byte stream each way.
    input wire sys_clk, output wire [7:0] rx_data, output wire rx_valid, input wire rx_ready,
    input wire [7:0] tx_data, input wire tx_valid, output wire tx_ready,
    // A one-sys_clk pulse after each Capture-DR of this core: a host is scanning.
    output wire host_scan
);
    localparam [7:0] VERSION = 8'd3;
    localparam [7:0] CORE_MARK = 8'h5A;    // last byte of the captured header
    localparam [7:0] COMMIT_MARK = 8'hA7;  // byte 3 of the host's header (0xA5 in version 1, 0xA6 in 2)
    localparam [11:0] HEADER_BITS = 12'd56;
    localparam RX_DEPTH = 1 << RX_LOG2;
    localparam TX_DEPTH = 1 << TX_LOG2;

    reg [7:0] rx_memory [0:RX_DEPTH-1];
    reg [7:0] tx_memory [0:TX_DEPTH-1];

    // ---------------------------------------------------------- TCK domain
    reg  [RX_LOG2:0] rx_write = 0;   // committed: the CPU may read up to here
    reg  [TX_LOG2:0] tx_read = 0;    // committed: the host has taken up to here
    // Bytes ever committed each way, modulo 256: a host that lost the reply
    // to a commit reads them to tell whether it took effect.
    reg  [7:0]       rx_count = 0;   // bytes the receive FIFO accepted
    reg  [7:0]       tx_count = 0;   // bytes taken from the transmit FIFO
    wire [RX_LOG2:0] rx_read_at_tck;
    wire [TX_LOG2:0] tx_write_at_tck;

    // What goes out of TDO: the captured header, then the byte slots.
    reg  [55:0] out_header = 56'd0;
    reg  [7:0]  out_data = 8'd0;
    reg  [11:0] out_bits = 12'd0;    // bits shifted out since Capture-DR (saturates)
    reg  [7:0]  out_slot = 8'd0;
    // What comes in from TDI: zeros (the bypass bits of other devices), a
    // start bit, the host's header, then the byte slots.
    reg         seen_zero = 1'b0;    // a zero came since Capture-DR
    reg         started = 1'b0;
    reg  [55:0] in_header = 56'd0;
    reg  [6:0]  in_data = 7'd0;     // the first seven bits of the byte coming in
    reg  [11:0] in_bits = 12'd0;     // bits after the start bit (saturates)
    reg  [7:0]  in_slot = 8'd0;
    reg  [7:0]  available = 8'd0;    // transmit bytes at Capture-DR
    reg  [7:0]  room = 8'd0;         // receive room at Capture-DR
    reg         armed = 1'b0;        // a capture happened, no update or reset yet

    wire [TX_LOG2:0] tx_waiting = tx_write_at_tck - tx_read;
    wire [RX_LOG2:0] rx_used = rx_write - rx_read_at_tck;
    wire [RX_LOG2:0] rx_room = RX_DEPTH[RX_LOG2:0] - rx_used;
    wire [7:0] count_now = saturate8({{(8 - TX_LOG2){1'b0}}, tx_waiting});
    wire [7:0] room_now = saturate8({{(8 - RX_LOG2){1'b0}}, rx_room});

    wire [7:0]  host_sends = in_header[7:0];
    wire [7:0]  host_takes = in_header[15:8];
    wire [7:0]  host_length = in_header[23:16];
    wire        host_commits = in_header[31:24] == COMMIT_MARK && in_header[39:32] == rx_count &&
                               in_header[47:40] == tx_count && in_header[55:48] == ID;
    wire [11:0] declared_bits = HEADER_BITS + {1'b0, host_length, 3'b000};
    wire [7:0]  next_out_slot = out_slot + 8'd1;
    wire [7:0]  incoming = {tdi, in_data};

    function [7:0] min3(input [7:0] a, input [7:0] b, input [7:0] c);
        begin
            min3 = a < b ? a : b;
            if (c < min3) min3 = c;
        end
    endfunction

    function [7:0] saturate8(input [8:0] value);
        saturate8 = value[8] ? 8'hFF : value[7:0];
    endfunction

    // The host pads its scans with one bit, which a primitive that registers
    // TDI leaves in its register: either length is whole.
    wire whole = in_bits == declared_bits || in_bits == declared_bits + 12'd1;
    wire commit = select && update && armed && started && host_commits && whole;
    // Both are at most the depth of their FIFO, so their pointers' width holds them.
    wire [7:0] taken = min3(host_takes, host_length, available);
    wire [7:0] accepted = min3(host_sends, host_length, room);
    wire [RX_LOG2:0] rx_write_next = commit ? rx_write + accepted[RX_LOG2:0] : rx_write;
    wire [TX_LOG2:0] tx_read_next = commit ? tx_read + taken[TX_LOG2:0] : tx_read;

    wire [TX_LOG2-1:0] first_tx = tx_read[TX_LOG2-1:0];
    wire [TX_LOG2-1:0] next_tx = tx_read[TX_LOG2-1:0] + next_out_slot[TX_LOG2-1:0];
    wire [RX_LOG2-1:0] this_rx = rx_write[RX_LOG2-1:0] + in_slot[RX_LOG2-1:0];

    assign tdo = out_bits < HEADER_BITS ? out_header[0] : out_data[0];

    always @(posedge tck) begin
        rx_write <= rx_write_next;
        tx_read <= tx_read_next;
        if (commit) begin
            rx_count <= rx_count + accepted;
            tx_count <= tx_count + taken;
        end
        if (tap_reset || (select && update)) begin
            armed <= 1'b0;
        end else if (select && capture) begin
            available <= count_now;
            room <= room_now;
            out_header <= {ID, tx_count, rx_count, CORE_MARK, VERSION, room_now, count_now};
            out_data <= tx_waiting != 0 ? tx_memory[first_tx] : 8'd0;
            out_bits <= 12'd0;
            out_slot <= 8'd0;
            seen_zero <= 1'b0;
            started <= 1'b0;
            in_bits <= 12'd0;
            in_slot <= 8'd0;
            armed <= 1'b1;
        end else if (select && shift && armed) begin
            // Out: the header, then transmit byte i in slot i (zero beyond
            // what is available).
            if (out_bits != 12'hFFF) out_bits <= out_bits + 12'd1;
            if (out_bits < HEADER_BITS) begin
                out_header <= {1'b0, out_header[55:1]};
            end else if (out_bits[2:0] != 3'd7) begin
                out_data <= {1'b0, out_data[7:1]};
            end else begin
                out_data <= next_out_slot < available && out_slot != 8'hFF ? tx_memory[next_tx] : 8'd0;
                if (out_slot != 8'hFF) out_slot <= next_out_slot;
            end
            // In: wait for the start bit, then the header and the bytes.
            if (!started) begin
                if (!tdi) seen_zero <= 1'b1;
                started <= tdi && seen_zero;
            end else begin
                if (in_bits != 12'hFFF) in_bits <= in_bits + 12'd1;
                if (in_bits < HEADER_BITS) begin
                    in_header <= {tdi, in_header[55:1]};
                end else if (in_bits[2:0] != 3'd7) begin
                    in_data <= incoming[7:1];
                end else begin
                    // A whole byte: keep it beyond the committed end, inside
                    // the room offered at Capture-DR.
                    if (in_slot < host_sends && in_slot < room) rx_memory[this_rx] <= incoming;
                    if (in_slot != 8'hFF) in_slot <= in_slot + 8'd1;
                end
            end
        end
    end

    // ---------------------------------------------------------- CPU domain
    reg  [RX_LOG2:0] rx_read = 0;
    reg  [TX_LOG2:0] tx_write = 0;
    wire [RX_LOG2:0] rx_write_at_sys;
    wire [TX_LOG2:0] tx_read_at_sys;

    assign rx_valid = rx_read != rx_write_at_sys;
    assign rx_data = rx_memory[rx_read[RX_LOG2-1:0]];
    assign tx_ready = (tx_write - tx_read_at_sys) != TX_DEPTH[TX_LOG2:0];

    always @(posedge sys_clk) begin
        if (rx_valid && rx_ready) rx_read <= rx_read + 1'b1;
        if (tx_valid && tx_ready) begin
            tx_memory[tx_write[TX_LOG2-1:0]] <= tx_data;
            tx_write <= tx_write + 1'b1;
        end
    end

    // ---------------------------------------------------------- crossings
    cdc_gray_pointer #(.W(RX_LOG2 + 1)) rx_read_crossing (
        .src_clk(sys_clk), .src_value(rx_read), .dst_clk(tck), .dst_value(rx_read_at_tck));
    cdc_gray_pointer #(.W(TX_LOG2 + 1)) tx_write_crossing (
        .src_clk(sys_clk), .src_value(tx_write), .dst_clk(tck), .dst_value(tx_write_at_tck));
    cdc_publish #(.W(RX_LOG2 + 1)) rx_write_crossing (
        .src_clk(tck), .src_value(rx_write_next), .dst_clk(sys_clk), .dst_value(rx_write_at_sys));
    cdc_publish #(.W(TX_LOG2 + 1)) tx_read_crossing (
        .src_clk(tck), .src_value(tx_read_next), .dst_clk(sys_clk), .dst_value(tx_read_at_sys));

    // ---------------------------------------------------------- host activity
    // A toggle per capture, two flip-flops into sys_clk, an edge detector.
    // Captures closer together than about two sys_clk cycles may give one
    // pulse: it tells that a host scans, not how often.
    reg scan_toggle = 1'b0;
    (* async_reg = "true" *) reg scan_sync1 = 1'b0;
    (* async_reg = "true" *) reg scan_sync2 = 1'b0;
    reg scan_seen = 1'b0;
    always @(posedge tck) if (select && capture && !tap_reset) scan_toggle <= ~scan_toggle;
    always @(posedge sys_clk) begin
        scan_sync1 <= scan_toggle;
        scan_sync2 <= scan_sync1;
        scan_seen <= scan_sync2;
    end
    assign host_scan = scan_sync2 ^ scan_seen;
endmodule
