/* Register access to the virt machine's 16550 UART. Built without -pg: the
   trap handler calls in here. */
#include "uart-16550.h"

#include <stdint.h>
#include <string.h>

#include "virt-machine.h"

#define RBR 0u /* receive buffer (read) */
#define THR 0u /* transmit holding (write) */
#define IER 1u
#define LCR 3u
#define LSR 5u

#define IER_RX_AVAILABLE 0x01u
#define LCR_8N1 0x03u
#define LSR_DATA_READY 0x01u
#define LSR_THR_EMPTY 0x20u

static volatile uint8_t *const uart = (volatile uint8_t *)UART0_BASE;

void uart_init(void) {
    uart[IER] = 0;
    uart[LCR] = LCR_8N1;
    /* The FIFOs stay off: switching them on clears the receive side, and
       with it what the host sent before the firmware was up. QEMU holds
       further input back until the one-byte buffer has been read. */
}

void uart_put(char c) {
    /* When the host stops reading, QEMU's write to its standard output
       blocks, so this wait never spins for long. */
    while (!(uart[LSR] & LSR_THR_EMPTY)) {
    }
    uart[THR] = (uint8_t)c;
}

void uart_write(const char *text, size_t length) {
    for (size_t i = 0; i < length; ++i)
        uart_put(text[i]);
}

void uart_puts(const char *text) {
    uart_write(text, strlen(text));
}

int uart_rx_ready(void) {
    return (uart[LSR] & LSR_DATA_READY) != 0;
}

int uart_get(void) {
    if (!uart_rx_ready())
        return -1;
    return uart[RBR];
}

void uart_rx_interrupt(int on) {
    uart[IER] = on ? IER_RX_AVAILABLE : 0;
}
