/* The example firmware: a console on the UART with the demo target's
   commands (help, count, gmon, bye) plus `work`, profiled with gmon/. */
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "gmon/gmon.h"
#include "print.h"
#include "trap.h"
#include "uart-16550.h"
#include "virt-machine.h"
#include "work.h"

#define LINE_LIMIT 127u /* bytes of one command line */
#define COUNT_MAX 10000000u
#define WORK_MAX 10000u

extern char __text_start[];
extern char __text_end[];

static const char banner[] = "Tolvan RISC-V firmware ready. Type 'help' for commands.\n";
static const char help_text[] =
    "Commands:\n"
    "  help      this list\n"
    "  count N   print N numbered lines\n"
    "  work N    run heavy_step and light_step N times each\n"
    "  gmon      send the profile since start or the last gmon (captured by --gmon)\n"
    "  bye       say goodbye and send Ctrl-D\n";

static char line[LINE_LIMIT];
static size_t line_length;
static int line_too_long;
static int last_was_cr;

/* Digits only, at most `max`; anything else (sign, spaces, an empty text,
   a value that would overflow) is refused. */
static int parse_number(const char *text, size_t length, uint32_t max, uint32_t *value) {
    if (length == 0)
        return -1;
    uint32_t result = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        const uint32_t digit = (uint32_t)(text[i] - '0');
        if (result > (max - digit) / 10)
            return -1;
        result = result * 10 + digit;
    }
    *value = result;
    return 0;
}

static void say_number_range(const char *command, uint32_t low, uint32_t high) {
    uart_puts(command);
    uart_puts(": give a number from ");
    print_unsigned(low);
    uart_puts(" to ");
    print_unsigned(high);
    uart_put('\n');
}

static void command_count(uint32_t count) {
    for (uint32_t i = 1; i <= count; ++i) {
        uart_puts("line ");
        print_unsigned(i);
        uart_put('\n');
    }
}

static void command_work(uint32_t count) {
    const uint64_t started = read_mtime();
    const uint32_t result = run_work(count, 0x2545f491u);
    const uint64_t ticks = read_mtime() - started;
    uart_puts("work: ");
    print_unsigned(count);
    uart_puts(" heavy and ");
    print_unsigned(count);
    uart_puts(" light steps in ");
    print_unsigned((uint32_t)(ticks / (CLINT_HZ / 1000u)));
    uart_puts(" ms (result ");
    print_hex(result);
    uart_puts(")\n");
}

static void command_gmon(void) {
    const uint32_t size = gmon_send();
    const uint32_t dropped = gmon_arcs_dropped();
    const uint32_t outside = gmon_samples_outside();
    const uint32_t saturated = gmon_samples_saturated();
    gmon_reset();
    uart_puts("gmon: sent a profile of ");
    print_unsigned(size);
    uart_puts(" bytes");
    if (dropped != 0) {
        uart_puts(" (");
        print_unsigned(dropped);
        uart_puts(" calls not counted: too many call arcs)");
    }
    uart_put('\n');
    /* Samples the file does not hold, on a line of their own. */
    if (outside != 0 || saturated != 0) {
        uart_puts("gmon: samples not counted: ");
        print_unsigned(outside);
        uart_puts(" outside the code, ");
        print_unsigned(saturated);
        uart_puts(" in full histogram bins\n");
    }
}

static void run_line(const char *text, size_t length) {
    size_t start = 0;
    while (start < length && text[start] == ' ')
        ++start;
    size_t end = start;
    while (end < length && text[end] != ' ')
        ++end;
    const char *command = text + start;
    const size_t command_length = end - start;
    if (command_length == 0)
        return;
    while (end < length && text[end] == ' ')
        ++end;
    size_t last = length;
    while (last > end && text[last - 1] == ' ')
        --last;
    const char *argument = text + end;
    const size_t argument_length = last - end;

#define IS(name) (command_length == sizeof(name) - 1 && memcmp(command, name, command_length) == 0)
    uint32_t number = 0;
    if (IS("help")) {
        uart_puts(help_text);
    } else if (IS("count")) {
        if (parse_number(argument, argument_length, COUNT_MAX, &number) != 0)
            say_number_range("count", 0, COUNT_MAX);
        else
            command_count(number);
    } else if (IS("work")) {
        if (parse_number(argument, argument_length, WORK_MAX, &number) != 0 || number == 0)
            say_number_range("work", 1, WORK_MAX);
        else
            command_work(number);
    } else if (IS("gmon")) {
        command_gmon();
    } else if (IS("bye")) {
        uart_puts("Bye.\n");
        uart_put('\x04');
    } else {
        uart_puts("unknown command '");
        uart_write(command, command_length);
        uart_puts("'; type 'help'\n");
    }
#undef IS
}

/* Erases one character, which in UTF-8 may be several bytes. */
static void erase_character(void) {
    if (line_length == 0)
        return;
    while (line_length > 1 && ((unsigned char)line[line_length - 1] & 0xc0u) == 0x80u)
        --line_length;
    --line_length;
    uart_puts("\b \b");
}

static void take_byte(unsigned char c) {
    if (c == '\r' || c == '\n') {
        /* CR, LF and CR LF each end one line. */
        const int second_of_pair = c == '\n' && last_was_cr;
        last_was_cr = c == '\r';
        if (second_of_pair)
            return;
        uart_put('\n');
        if (line_too_long) {
            uart_puts("line too long: at most ");
            print_unsigned(LINE_LIMIT);
            uart_puts(" bytes\n");
        } else {
            run_line(line, line_length);
        }
        line_length = 0;
        line_too_long = 0;
        return;
    }
    last_was_cr = 0;
    if (c == '\b' || c == 0x7f) {
        erase_character();
        return;
    }
    /* Other control bytes are not echoed: an echoed Ctrl-D would end the
       host's session. Nor are bytes that UTF-8 text never holds (0xF5 and
       up): a terminal takes a run of 0xFF for a lost connection. */
    if (c < 0x20 || c > 0xf4)
        return;
    /* A truncated line is never run: the rest of it is dropped and the
       whole line refused at its end. */
    if (line_length == LINE_LIMIT || line_too_long) {
        line_too_long = 1;
        return;
    }
    line[line_length++] = (char)c;
    uart_put((char)c);
}

int main(void) {
    uart_init();
    gmon_start((uintptr_t)__text_start, (uintptr_t)__text_end);
    interrupts_init();
    uart_puts(banner);
    for (;;) {
        int c;
        while ((c = uart_get()) >= 0)
            take_byte((unsigned char)c);
        wait_for_input();
    }
}
