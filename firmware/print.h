/* Numbers on the UART without printf, which would bring in picolibc's stdio
   and its thread-local errno for a few decimal digits. */
#ifndef PRINT_H
#define PRINT_H

#include <stdint.h>

void print_unsigned(uint32_t value);
void print_hex(uint32_t value); /* 0x and eight digits */

#endif
