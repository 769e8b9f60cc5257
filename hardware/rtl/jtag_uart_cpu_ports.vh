// The CPU side of a JTAG UART (system clock domain), the same in the core and
// in the modules that wrap one core: included into their port lists.
    input  wire       sys_clk,
    output wire [7:0] rx_data,
    output wire       rx_valid,
    input  wire       rx_ready,
    input  wire [7:0] tx_data,
    input  wire       tx_valid,
    output wire       tx_ready
