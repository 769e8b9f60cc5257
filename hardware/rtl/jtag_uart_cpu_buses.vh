// The CPU sides of UARTS JTAG UARTs side by side (system clock domain): UART
// i uses bits [8*i+7:8*i] and [i]. Included into the port lists of the
// modules that carry several cores.
    input  wire               sys_clk,
    output wire [8*UARTS-1:0] rx_data,
    output wire [UARTS-1:0]   rx_valid,
    input  wire [UARTS-1:0]   rx_ready,
    input  wire [8*UARTS-1:0] tx_data,
    input  wire [UARTS-1:0]   tx_valid,
    output wire [UARTS-1:0]   tx_ready
