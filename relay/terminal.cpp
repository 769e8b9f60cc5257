// The terminal driver: countdown, connection, raw console, optional flush,
// banner, relay, teardown and the account of why the run ended.
#include "relay/terminal.h"

#include <cstdio>

#include "channels/console-io.h"
#include "channels/jtag-uart.h"
#include "cmdline/settings.h"
#include "platform/signals.h"
#include "platform/timer.h"
#include "relay/relay-loop.h"

namespace tolvan {

namespace {

void interrupt_handler(int signal) {
    stop_requested = 1;
    platform::reinstall_stop_handler(signal, interrupt_handler);
}

void countdown() {
    std::printf("%s: Waiting to allow other programs to start:    ", PROGRAM_NAME);
    // In 64 bits: a wait near the 32-bit limit must not overflow the tick count.
    for (std::int64_t ticks = std::int64_t{settings.wait_secs} * 10; ticks > 0 && !stop_requested; --ticks) {
        std::printf("\b\b\b%2ds", static_cast<int>((ticks + 9) / 10));
        std::fflush(stdout);
        platform::sleep_microseconds(100000);
    }
    std::printf("\b\b\bdone\n");
}

/// Discards what the target had queued before the connection was made.
void flush_target_output() {
    jtag_channel->wait_open();
    char scratch[64];
    while (jtag_channel->read(scratch, sizeof scratch) > 0) {
    }
}

}  // namespace

void run_terminal() {
    platform::install_stop_handler(interrupt_handler);

    if (settings.wait_secs > 0) countdown();
    if (stop_requested) return;

    // The target first: a failed connection leaves the console untouched.
    jtag_channel = new COMM_JTAG_UART();
    console_channel = new COMM_CONSOLE();
    start_time = platform::wall_clock_seconds();

    if (settings.flush) flush_target_output();

    if (settings.verbose) {
        std::printf("%s: (Use the IDE stop button or Ctrl-C to terminate)\n", PROGRAM_NAME);
        console_channel->on_ready();
        std::printf("\n");
    }

    ExitReason reason = run_relay();

    delete jtag_channel;
    jtag_channel = nullptr;
    delete console_channel;
    console_channel = nullptr;

    if (settings.verbose) {
        std::printf("\n\n%s: exiting due to %s", PROGRAM_NAME, exit_reason_words(reason));
    }
}

}  // namespace tolvan
