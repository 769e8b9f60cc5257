// Host console services for the console channel: terminal test, input mode,
// one-byte reads of standard input, raw writes to standard output, a reader
// thread that the teardown stops within a limit, and immediate exit.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace platform {

/// A saved console input mode: a mode word on Windows, a whole termios on
/// POSIX. Opaque above this layer.
struct console_mode {
    alignas(8) unsigned char bytes[128];
};

/// Makes the standard output stream unbuffered.
void make_stdout_unbuffered();

/// Non-zero when standard input is a terminal (a character device).
bool stdin_is_terminal();

/// False only when the standard input handle is invalid.
bool stdin_handle_valid();

/// Reads the console input mode of standard input; false on failure.
bool get_console_mode(console_mode& mode);

/// Sets the console input mode of standard input at once; false on failure.
bool set_console_mode(const console_mode& mode);

/// The raw mode derived from `current`: no line editing, no echo, every key
/// its own byte, Ctrl-C still handled by the system as an interrupt.
console_mode raw_console_mode(const console_mode& current);

/// One raw write to descriptor 1; the bytes written, or -1.
int write_stdout(const void* data, unsigned int len);

enum class stdin_read {
    byte,      ///< one byte was read
    nothing,   ///< a successful read of zero bytes; read again later
    failed,    ///< the end of input or an error
};

/// Blocks until one byte of standard input arrives or the read fails. A
/// zero-byte success pauses briefly before it returns `nothing`.
stdin_read read_stdin_byte(unsigned char& byte);

/// A running thread.
struct thread;

/// Starts a thread running `routine(arg)` at once; null when it cannot.
thread* start_thread(unsigned (*routine)(void* arg), void* arg);

/// Ends a thread that reads standard input with read_stdin_byte (its pending
/// or next read returns `failed`) and waits for it, for at most `limit`.
/// True when it has ended; it is then released. False when it could not be
/// stopped in time (a read that nothing interrupts): it is left running, with
/// everything it uses, to the end of the process.
bool stop_stdin_reader(thread* reader, std::chrono::milliseconds limit);

/// Registers a handler for the C library's orderly exit.
void at_exit(void (*handler)());

/// Ends the process at once, without at-exit handlers.
[[noreturn]] void exit_process(int status);

}  // namespace platform
