/* A driver for the JTAG UART's bus adapters (hardware/rtl/jtag_uart_wishbone.v,
 * jtag_uart_axil.v) in a CPU's firmware: C99, freestanding (stdint.h and
 * stddef.h only). The register map is in hardware/README.md.
 *
 * Every register access goes through JTAG_UART_READ32 and JTAG_UART_WRITE32,
 * plain volatile accesses unless defined before this header is included
 * (a test binds them to functions that run bus cycles on a simulation). */
#ifndef JTAG_UART_H
#define JTAG_UART_H

#include <stddef.h>
#include <stdint.h>

#ifndef JTAG_UART_READ32
#define JTAG_UART_READ32(addr) (*(volatile uint32_t *)(addr))
#endif
#ifndef JTAG_UART_WRITE32
#define JTAG_UART_WRITE32(addr, value) (*(volatile uint32_t *)(addr) = (value))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Register offsets. */
#define JTAG_UART_DATA    0x0u
#define JTAG_UART_STATUS  0x4u
#define JTAG_UART_CONTROL 0x8u

/* DATA, read: the byte and whether there was one. */
#define JTAG_UART_DATA_VALID        (1u << 8)
/* STATUS */
#define JTAG_UART_STATUS_RX_AVAILABLE (1u << 0)
#define JTAG_UART_STATUS_TX_ROOM      (1u << 1)
#define JTAG_UART_STATUS_HOST_PRESENT (1u << 2)
#define JTAG_UART_STATUS_DROPPING     (1u << 3)
#define JTAG_UART_STATUS_HOST_CHANGED (1u << 4) /* write 1 to clear */
#define JTAG_UART_STATUS_FLUSHING     (1u << 5)
#define JTAG_UART_STATUS_IRQ          (1u << 6)
#define JTAG_UART_STATUS_CLEAR_DROPPED (1u << 7) /* write 1: the count restarts at 0 */
#define JTAG_UART_STATUS_DROPPED_SHIFT 16
/* CONTROL */
#define JTAG_UART_IRQ_RX           (1u << 0) /* a received byte waits */
#define JTAG_UART_IRQ_TX           (1u << 1) /* the transmit FIFO has room */
#define JTAG_UART_IRQ_HOST         (1u << 2) /* a host came or went (STATUS.HOST_CHANGED) */
#define JTAG_UART_IRQ_ALL          (JTAG_UART_IRQ_RX | JTAG_UART_IRQ_TX | JTAG_UART_IRQ_HOST)
#define JTAG_UART_CONTROL_FLUSH    (1u << 3)
#define JTAG_UART_CONTROL_DROP     (1u << 4)
#define JTAG_UART_CONTROL_TIMEOUT_SHIFT 8
#define JTAG_UART_CONTROL_TIMEOUT_MASK  (0x1Fu << 8)

/* What a write to a full transmit FIFO does. */
enum jtag_uart_mode {
    /* It waits (the bus cycle stalls) until a host makes room. */
    JTAG_UART_BLOCKING = 0,
    /* It waits while a host has scanned within the timeout; once none has, it
     * is dropped and counted. The reset mode. */
    JTAG_UART_DROP_WITHOUT_HOST = 1
};

struct jtag_uart {
    uintptr_t base;
};

/* Binds `uart` to the adapter at `base`: interrupts off, receive bytes kept,
 * the mode and the timeout as they are. */
void jtag_uart_init(struct jtag_uart *uart, uintptr_t base);
/* The mode and the host timeout: 2**timeout_log2 system clocks (0..31)
 * without a scan and a host counts as gone. */
void jtag_uart_configure(struct jtag_uart *uart, enum jtag_uart_mode mode, unsigned timeout_log2);

/* Sends one byte: in blocking mode the write waits for room; in drop mode
 * it waits only while a host is present. */
void jtag_uart_putc(struct jtag_uart *uart, uint8_t byte);
/* Sends one byte if the transmit FIFO has room now: 1, else 0. Never waits. */
int jtag_uart_try_putc(struct jtag_uart *uart, uint8_t byte);
/* Waits for a received byte and returns it. */
uint8_t jtag_uart_getc(struct jtag_uart *uart);
/* A received byte (0..255), or -1 when none waits. Never waits. */
int jtag_uart_try_getc(struct jtag_uart *uart);

/* Sends `size` bytes as jtag_uart_putc does; returns `size`. */
size_t jtag_uart_write(struct jtag_uart *uart, const void *data, size_t size);
/* Sends what fits now, up to `size` bytes; returns how many. Never waits. */
size_t jtag_uart_try_write(struct jtag_uart *uart, const void *data, size_t size);
/* Takes the received bytes that wait, up to `size`; returns how many. Never
 * waits. */
size_t jtag_uart_read(struct jtag_uart *uart, void *data, size_t size);
/* Drops the received bytes that wait and returns once they are gone. */
void jtag_uart_flush_rx(struct jtag_uart *uart);

/* 1 when a host has scanned within the timeout, else 0. */
int jtag_uart_host_present(struct jtag_uart *uart);
/* Bytes dropped since reset or the last clear (saturates at 65535). */
unsigned jtag_uart_dropped(struct jtag_uart *uart);
void jtag_uart_clear_dropped(struct jtag_uart *uart);

/* Interrupts (JTAG_UART_IRQ_* masks); the line is high while an enabled
 * cause holds. RX clears when the bytes are read, TX when the FIFO is full
 * or TX is disabled (disable it when nothing is left to send), HOST when
 * acknowledged. */
void jtag_uart_irq_enable(struct jtag_uart *uart, unsigned mask);
void jtag_uart_irq_disable(struct jtag_uart *uart, unsigned mask);
/* The enabled causes that hold now. */
unsigned jtag_uart_irq_pending(struct jtag_uart *uart);
/* Clears the acknowledged causes that are events (HOST); level causes (RX,
 * TX) clear when served. */
void jtag_uart_irq_ack(struct jtag_uart *uart, unsigned mask);

#ifdef __cplusplus
}
#endif

#endif /* JTAG_UART_H */
