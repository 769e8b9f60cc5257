/* A workload whose profile is known in advance: heavy_step does exactly four
   times the rounds of light_step, so it should get about 4/5 of their time. */
#include "work.h"

/* About 160,000 instructions: under `-icount shift=7` (128 ns each) a light
   step lasts one 20 ms sampling period at 50 Hz, so `work 200` gets about
   200 samples in light_step and 800 in heavy_step. */
#define LIGHT_ROUNDS 20000u

/* Inlined into both steps, so that the time is their own (self) time and
   not that of a shared helper. */
static inline __attribute__((always_inline)) uint32_t scramble(uint32_t x, uint32_t rounds) {
    for (uint32_t i = 0; i < rounds; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
    }
    return x;
}

/* noipa: neither inlined into run_work nor merged with each other, so that
   each keeps its own calls and samples in the profile. */
__attribute__((noipa)) uint32_t heavy_step(uint32_t state) {
    return scramble(state, 4u * LIGHT_ROUNDS);
}

__attribute__((noipa)) uint32_t light_step(uint32_t state) {
    return scramble(state, LIGHT_ROUNDS);
}

uint32_t run_work(uint32_t count, uint32_t state) {
    for (uint32_t i = 0; i < count; ++i)
        state = heavy_step(state);
    for (uint32_t i = 0; i < count; ++i)
        state = light_step(state);
    return state;
}
