/* Forced into the driver's build for the bus adapter tests: its register
 * accesses become bus cycles on the Verilated adapter (bus-bench.cpp). */
#ifndef BUS_DRIVER_BINDING_H
#define BUS_DRIVER_BINDING_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
uint32_t bus_bench_read32(uintptr_t address);
void bus_bench_write32(uintptr_t address, uint32_t value);
#ifdef __cplusplus
}
#endif

#define JTAG_UART_READ32(addr) bus_bench_read32(addr)
#define JTAG_UART_WRITE32(addr, value) bus_bench_write32((addr), (value))

#endif
