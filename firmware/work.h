/* The `work` command's two steps, whose costs stand in a known ratio. */
#ifndef WORK_H
#define WORK_H

#include <stdint.h>

uint32_t heavy_step(uint32_t state);
uint32_t light_step(uint32_t state);

/* heavy_step `count` times, then light_step `count` times. */
uint32_t run_work(uint32_t count, uint32_t state);

#endif
