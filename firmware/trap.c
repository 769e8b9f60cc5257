/* Traps of the firmware: the profiling timer, the UART's receive interrupt
   through the PLIC, and a report for an exception. Built without -pg: an
   interrupt must not count calls in the middle of the code it interrupts. */
#include "trap.h"

#include "gmon/gmon.h"
#include "print.h"
#include "uart-16550.h"
#include "virt-machine.h"

void interrupts_init(void) {
    mmio_write32(PLIC_PRIORITY(UART0_IRQ), 1);
    mmio_write32(PLIC_ENABLE_HART0_M, 1u << UART0_IRQ);
    mmio_write32(PLIC_THRESHOLD_HART0_M, 0);
    csr_set(mie, MIE_MEIE);
    csr_set(mstatus, MSTATUS_MIE);
}

static void claim_external(void) {
    const uint32_t source = mmio_read32(PLIC_CLAIM_HART0_M);
    /* The main loop reads the bytes itself. Until it sleeps again the
       interrupt stays off, and QEMU holds further input back in the pipe:
       no buffer here can overflow. */
    if (source == UART0_IRQ)
        uart_rx_interrupt(0);
    if (source != 0)
        mmio_write32(PLIC_CLAIM_HART0_M, source);
}

__attribute__((noreturn)) static void halt_on_exception(uint32_t mcause, uint32_t mepc) {
    uart_puts("\nfirmware: exception ");
    print_unsigned(mcause);
    uart_puts(" at ");
    print_hex(mepc);
    uart_puts(", mtval ");
    print_hex(csr_read(mtval));
    uart_puts("; halted until the board is switched off\n");
    /* With mie cleared, wfi never returns and QEMU stays idle. */
    csr_clear(mstatus, MSTATUS_MIE);
    __asm__ volatile(CSR_ASM("csrw mie, zero"));
    for (;;)
        __asm__ volatile("wfi");
}

void trap_handler(uint32_t mcause, uint32_t mepc) {
    if (!(mcause & MCAUSE_INTERRUPT))
        halt_on_exception(mcause, mepc);
    switch (mcause & ~MCAUSE_INTERRUPT) {
    case MCAUSE_MACHINE_TIMER:
        gmon_timer_interrupt(mepc);
        break;
    case MCAUSE_MACHINE_EXTERNAL:
        claim_external();
        break;
    default:
        break;
    }
}

void wait_for_input(void) {
    /* With interrupts masked globally, an interrupt that becomes pending
       after the check still ends the wfi, and is taken once they are on
       again: no wake-up is lost between the check and the sleep. */
    csr_clear(mstatus, MSTATUS_MIE);
    uart_rx_interrupt(1);
    if (!uart_rx_ready())
        __asm__ volatile("wfi");
    csr_set(mstatus, MSTATUS_MIE);
}
