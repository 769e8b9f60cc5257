/* Interrupt set-up, the C side of the trap entry, and sleeping until there
   is something to do. */
#ifndef TRAP_H
#define TRAP_H

#include <stdint.h>

/* Routes the UART's interrupt through the PLIC and turns interrupts on. */
void interrupts_init(void);

/* Called from trap_entry in start-up.S. */
void trap_handler(uint32_t mcause, uint32_t mepc);

/* Sleeps in wfi until a byte arrives or an interrupt (the sampling timer)
   wakes the hart; returns at once when a byte is already waiting. */
void wait_for_input(void);

#endif
