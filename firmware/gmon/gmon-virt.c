/* The machine side of the profiling runtime for the RISC-V virt machine:
   the CLINT sampling timer, _mcount for -pg code, and output on the UART. */
#include "gmon.h"

#include "gmon-core.h"
#include "virt-machine.h"

/* This file and gmon-core.c are built without -pg: _mcount would call
   itself, and the timer interrupt would count calls. */

#define UART_THR 0u
#define UART_LSR 5u
#define UART_LSR_THR_EMPTY 0x20u

#ifndef GMON_BIN_CAPACITY
#define GMON_BIN_CAPACITY 16384 /* 2-byte bins up to 32 KiB of code */
#endif
#ifndef GMON_ARC_SLOTS
#define GMON_ARC_SLOTS 512
#endif

#if CLINT_HZ / GMON_RATE == 0
#error "GMON_RATE is above the timer's frequency"
#endif

static uint16_t bins[GMON_BIN_CAPACITY];
static struct gmon_arc arcs[GMON_ARC_SLOTS];
static struct gmon_profile profile;
static uint64_t next_tick;

/* Only one hart runs the firmware, so plain flags are enough against the
   interrupt handler; the barriers keep the compiler from moving the
   bookkeeping out from between them. */
static volatile int recording;
static volatile int paused;
static volatile int in_mcount;
#define BARRIER() __asm__ volatile("" ::: "memory")

int gmon_start(uintptr_t low_pc, uintptr_t high_pc) {
    recording = 0;
    BARRIER();
    if (gmon_profile_init(&profile, low_pc, high_pc, bins, GMON_BIN_CAPACITY, arcs,
                          GMON_ARC_SLOTS, GMON_RATE) != 0)
        return -1;
    BARRIER();
    recording = 1;
    next_tick = read_mtime() + CLINT_HZ / GMON_RATE;
    set_mtimecmp(next_tick);
    csr_set(mie, MIE_MTIE);
    return 0;
}

void gmon_timer_interrupt(uintptr_t pc) {
    next_tick += CLINT_HZ / GMON_RATE;
    const uint64_t now = read_mtime();
    /* After a long stall the missed ticks are skipped rather than fired
       back to back. */
    if ((int64_t)(next_tick - now) <= 0)
        next_tick = now + CLINT_HZ / GMON_RATE;
    set_mtimecmp(next_tick);
    if (recording && !paused)
        gmon_profile_sample(&profile, pc);
}

/* GCC's -pg on RISC-V calls _mcount at each function entry with the
   function's return address in a0; _mcount's own return address lies in
   the function itself. */
void _mcount(uintptr_t from_pc);
__attribute__((no_instrument_function)) void _mcount(uintptr_t from_pc) {
    if (!recording || paused || in_mcount)
        return;
    in_mcount = 1;
    BARRIER();
    gmon_profile_arc(&profile, from_pc, (uintptr_t)__builtin_return_address(0));
    BARRIER();
    in_mcount = 0;
}

/* Polled and independent of the firmware's own UART driver, so that
   sending needs nothing from it. */
static void uart_put(const void *bytes, size_t count, void *context) {
    (void)context;
    volatile uint8_t *uart = (volatile uint8_t *)UART0_BASE;
    const uint8_t *byte = bytes;
    for (size_t i = 0; i < count; ++i) {
        while (!(uart[UART_LSR] & UART_LSR_THR_EMPTY)) {
        }
        uart[UART_THR] = byte[i];
    }
}

uint32_t gmon_send(void) {
    if (!recording)
        return 0;
    paused = 1;
    BARRIER();
    gmon_profile_send(&profile, uart_put, 0);
    const uint32_t size = gmon_profile_file_size(&profile);
    BARRIER();
    paused = 0;
    return size;
}

void gmon_reset(void) {
    if (!recording)
        return;
    paused = 1;
    BARRIER();
    gmon_profile_reset(&profile);
    BARRIER();
    paused = 0;
}

uint32_t gmon_arcs_dropped(void) {
    return recording ? profile.arcs_dropped : 0;
}

uint32_t gmon_samples_outside(void) {
    return recording ? profile.samples_outside : 0;
}

uint32_t gmon_samples_saturated(void) {
    return recording ? profile.samples_saturated : 0;
}
