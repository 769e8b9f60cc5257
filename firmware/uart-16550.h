/* The 16550 UART at 0x10000000: the target side of the console. Output is
   polled; input is read here too, its interrupt only wakes the hart. */
#ifndef UART_16550_H
#define UART_16550_H

#include <stddef.h>

void uart_init(void);
void uart_put(char c);
void uart_write(const char *text, size_t length);
void uart_puts(const char *text);

/* The next received byte, or -1 when none waits. */
int uart_get(void);
int uart_rx_ready(void);

/* The receive interrupt is on only while the firmware sleeps; the trap
   handler turns it off again (see trap.c). */
void uart_rx_interrupt(int on);

#endif
