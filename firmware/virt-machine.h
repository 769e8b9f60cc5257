/* Addresses of the virt machine's devices that the firmware and its profiling
   runtime use, and the machine-mode CSR access they need. */
#ifndef VIRT_MACHINE_H
#define VIRT_MACHINE_H

#include <stdint.h>

#define UART0_BASE 0x10000000u
#define UART0_IRQ 10u

#define CLINT_MTIMECMP0 0x02004000u
#define CLINT_MTIME 0x0200bff8u
#define CLINT_HZ 10000000u

#define PLIC_BASE 0x0c000000u
#define PLIC_PRIORITY(source) (PLIC_BASE + 4u * (source))
#define PLIC_ENABLE_HART0_M (PLIC_BASE + 0x2000u)
#define PLIC_THRESHOLD_HART0_M (PLIC_BASE + 0x200000u)
#define PLIC_CLAIM_HART0_M (PLIC_BASE + 0x200004u)

#define MSTATUS_MIE 0x8u
#define MIE_MTIE 0x80u
#define MIE_MEIE 0x800u
#define MCAUSE_INTERRUPT 0x80000000u
#define MCAUSE_MACHINE_TIMER 7u
#define MCAUSE_MACHINE_EXTERNAL 11u

/* The CSR instructions belong to the Zicsr extension. Each access turns it
   on for its own instruction only, so the compiler's -march=rv32imac goes on
   selecting the C library's rv32imac build. */
#define CSR_ASM(text) ".option push\n.option arch, +zicsr\n" text "\n.option pop"
#define csr_read(csr)                                              \
    ({                                                             \
        uint32_t value_;                                           \
        __asm__ volatile(CSR_ASM("csrr %0, " #csr) : "=r"(value_)); \
        value_;                                                    \
    })
#define csr_set(csr, bits) __asm__ volatile(CSR_ASM("csrs " #csr ", %0") ::"r"(bits) : "memory")
#define csr_clear(csr, bits) __asm__ volatile(CSR_ASM("csrc " #csr ", %0") ::"r"(bits) : "memory")

static inline uint32_t mmio_read32(uintptr_t address) {
    return *(volatile uint32_t *)address;
}

static inline void mmio_write32(uintptr_t address, uint32_t value) {
    *(volatile uint32_t *)address = value;
}

/* The 64-bit machine timer read as two halves on rv32, again if the low
   word wrapped between the reads. */
static inline uint64_t read_mtime(void) {
    uint32_t high, low;
    do {
        high = mmio_read32(CLINT_MTIME + 4);
        low = mmio_read32(CLINT_MTIME);
    } while (high != mmio_read32(CLINT_MTIME + 4));
    return (uint64_t)high << 32 | low;
}

/* Hart 0's timer compare, written as two halves on rv32: the high word first
   behind a maximal low word, so that no value between the old and the new
   one can fire. */
static inline void set_mtimecmp(uint64_t when) {
    mmio_write32(CLINT_MTIMECMP0, 0xffffffffu);
    mmio_write32(CLINT_MTIMECMP0 + 4, (uint32_t)(when >> 32));
    mmio_write32(CLINT_MTIMECMP0, (uint32_t)when);
}

#endif
