/* The JTAG UART driver (see jtag-uart.h). */
#include "jtag-uart.h"

static uint32_t read_register(const struct jtag_uart *uart, uint32_t offset) {
    return JTAG_UART_READ32(uart->base + offset);
}

static void write_register(const struct jtag_uart *uart, uint32_t offset, uint32_t value) {
    JTAG_UART_WRITE32(uart->base + offset, value);
}

void jtag_uart_init(struct jtag_uart *uart, uintptr_t base) {
    uart->base = base;
    jtag_uart_irq_disable(uart, JTAG_UART_IRQ_ALL);
}

void jtag_uart_configure(struct jtag_uart *uart, enum jtag_uart_mode mode, unsigned timeout_log2) {
    uint32_t control = read_register(uart, JTAG_UART_CONTROL);
    control &= ~(JTAG_UART_CONTROL_DROP | JTAG_UART_CONTROL_TIMEOUT_MASK);
    if (mode == JTAG_UART_DROP_WITHOUT_HOST)
        control |= JTAG_UART_CONTROL_DROP;
    control |= ((uint32_t)timeout_log2 << JTAG_UART_CONTROL_TIMEOUT_SHIFT) & JTAG_UART_CONTROL_TIMEOUT_MASK;
    write_register(uart, JTAG_UART_CONTROL, control);
}

void jtag_uart_putc(struct jtag_uart *uart, uint8_t byte) {
    write_register(uart, JTAG_UART_DATA, byte);
}

int jtag_uart_try_putc(struct jtag_uart *uart, uint8_t byte) {
    /* Only this CPU fills the FIFO: room seen stays until it writes. */
    if (!(read_register(uart, JTAG_UART_STATUS) & JTAG_UART_STATUS_TX_ROOM))
        return 0;
    write_register(uart, JTAG_UART_DATA, byte);
    return 1;
}

int jtag_uart_try_getc(struct jtag_uart *uart) {
    const uint32_t data = read_register(uart, JTAG_UART_DATA);
    return (data & JTAG_UART_DATA_VALID) ? (int)(data & 0xFFu) : -1;
}

uint8_t jtag_uart_getc(struct jtag_uart *uart) {
    int byte;
    while ((byte = jtag_uart_try_getc(uart)) < 0) {
    }
    return (uint8_t)byte;
}

size_t jtag_uart_write(struct jtag_uart *uart, const void *data, size_t size) {
    const uint8_t *bytes = (const uint8_t *)data;
    for (size_t i = 0; i < size; ++i)
        jtag_uart_putc(uart, bytes[i]);
    return size;
}

size_t jtag_uart_try_write(struct jtag_uart *uart, const void *data, size_t size) {
    const uint8_t *bytes = (const uint8_t *)data;
    size_t sent = 0;
    while (sent < size && jtag_uart_try_putc(uart, bytes[sent]))
        ++sent;
    return sent;
}

size_t jtag_uart_read(struct jtag_uart *uart, void *data, size_t size) {
    uint8_t *bytes = (uint8_t *)data;
    size_t count = 0;
    while (count < size) {
        const int byte = jtag_uart_try_getc(uart);
        if (byte < 0)
            break;
        bytes[count++] = (uint8_t)byte;
    }
    return count;
}

void jtag_uart_flush_rx(struct jtag_uart *uart) {
    const uint32_t control = read_register(uart, JTAG_UART_CONTROL);
    write_register(uart, JTAG_UART_CONTROL, control | JTAG_UART_CONTROL_FLUSH);
    while (read_register(uart, JTAG_UART_STATUS) & JTAG_UART_STATUS_FLUSHING) {
    }
}

int jtag_uart_host_present(struct jtag_uart *uart) {
    return (read_register(uart, JTAG_UART_STATUS) & JTAG_UART_STATUS_HOST_PRESENT) != 0;
}

unsigned jtag_uart_dropped(struct jtag_uart *uart) {
    return (unsigned)(read_register(uart, JTAG_UART_STATUS) >> JTAG_UART_STATUS_DROPPED_SHIFT);
}

void jtag_uart_clear_dropped(struct jtag_uart *uart) {
    write_register(uart, JTAG_UART_STATUS, JTAG_UART_STATUS_CLEAR_DROPPED);
}

void jtag_uart_irq_enable(struct jtag_uart *uart, unsigned mask) {
    const uint32_t control = read_register(uart, JTAG_UART_CONTROL);
    write_register(uart, JTAG_UART_CONTROL, control | (mask & JTAG_UART_IRQ_ALL));
}

void jtag_uart_irq_disable(struct jtag_uart *uart, unsigned mask) {
    const uint32_t control = read_register(uart, JTAG_UART_CONTROL);
    write_register(uart, JTAG_UART_CONTROL, control & ~(uint32_t)(mask & JTAG_UART_IRQ_ALL));
}

unsigned jtag_uart_irq_pending(struct jtag_uart *uart) {
    const uint32_t status = read_register(uart, JTAG_UART_STATUS);
    const uint32_t enabled = read_register(uart, JTAG_UART_CONTROL) & JTAG_UART_IRQ_ALL;
    uint32_t causes = 0;
    if (status & JTAG_UART_STATUS_RX_AVAILABLE)
        causes |= JTAG_UART_IRQ_RX;
    if (status & JTAG_UART_STATUS_TX_ROOM)
        causes |= JTAG_UART_IRQ_TX;
    if (status & JTAG_UART_STATUS_HOST_CHANGED)
        causes |= JTAG_UART_IRQ_HOST;
    return (unsigned)(causes & enabled);
}

void jtag_uart_irq_ack(struct jtag_uart *uart, unsigned mask) {
    if (mask & JTAG_UART_IRQ_HOST)
        write_register(uart, JTAG_UART_STATUS, JTAG_UART_STATUS_HOST_CHANGED);
}
