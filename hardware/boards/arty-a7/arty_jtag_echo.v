// Reference design for the Arty A7-35T (XC7A35TICSG324-1L): the JTAG UART on
// USER1 of the chip's own TAP (BSCANE2), every byte it receives sent back to
// the host, and the count of those bytes (modulo 16) on the four green LEDs.
// The CPU side runs on the board's 100 MHz oscillator.
module arty_jtag_echo (
    input  wire       clk_100mhz,
    output wire [3:0] led
);
    wire [7:0] rx_data;
    wire       rx_valid, tx_ready;
    // Echo: a received byte is offered to the transmit FIFO as it stands and
    // leaves the receive FIFO in the same clock as it enters the other one.
    wire       moves = rx_valid & tx_ready;

    // By name: outputs the wrapper may add stay unconnected.
    xc7_jtag_uart #(.CHAIN(1)) uart (
        .sys_clk(clk_100mhz), .rx_data(rx_data), .rx_valid(rx_valid), .rx_ready(tx_ready),
        .tx_data(rx_data), .tx_valid(rx_valid), .tx_ready(tx_ready));

    reg [3:0] echoed = 4'd0;
    always @(posedge clk_100mhz) if (moves) echoed <= echoed + 4'd1;
    assign led = echoed;
endmodule
