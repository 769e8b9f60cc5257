/* Profiling for firmware on the RISC-V virt machine: PC sampling on the
   machine timer, call arcs from code built with -pg, and gmon_send(). */
#ifndef GMON_H
#define GMON_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Samples per second of virtual time. Each tick also wakes a sleeping
   hart, which under QEMU costs host CPU time: keep it low. */
#ifndef GMON_RATE
#define GMON_RATE 50
#endif

/* Starts sampling over the code in [low_pc, high_pc) (usually the linker
   script's text bounds) and arms the machine timer, enabling its interrupt
   in mie. The firmware's trap handler must pass each machine timer
   interrupt to gmon_timer_interrupt(), and the firmware turns interrupts
   on globally (mstatus.MIE) when it is ready. Returns 0, or -1 when the
   range is empty. */
int gmon_start(uintptr_t low_pc, uintptr_t high_pc);

/* Takes one sample at `pc` (the interrupted mepc) and arms the next tick. */
void gmon_timer_interrupt(uintptr_t pc);

/* Writes the profile to the UART as a terminal's --gmon capture expects:
   the marker line, the length (32-bit little endian), the gmon.out file.
   Sampling pauses meanwhile. Returns the file's size. */
uint32_t gmon_send(void);

/* Forgets what was counted so far. */
void gmon_reset(void);

/* What the profile lost since the start or the last reset: calls that found
   the arc table full, samples outside the range, and samples that found
   their histogram bin full (at 65535). */
uint32_t gmon_arcs_dropped(void);
uint32_t gmon_samples_outside(void);
uint32_t gmon_samples_saturated(void);

#ifdef __cplusplus
}
#endif

#endif
