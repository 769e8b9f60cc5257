/* Decimal and hexadecimal output for the firmware's messages. Built without
   -pg, since the exception report in trap.c uses it. */
#include "print.h"

#include "uart-16550.h"

void print_unsigned(uint32_t value) {
    char digits[10];
    int count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0)
        uart_put(digits[--count]);
}

void print_hex(uint32_t value) {
    static const char hex[] = "0123456789abcdef";
    uart_puts("0x");
    for (int shift = 28; shift >= 0; shift -= 4)
        uart_put(hex[(value >> shift) & 0xfu]);
}
