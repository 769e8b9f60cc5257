// Console services on Windows: the console input mode of the standard input
// handle, ReadFile one byte at a time, _write on descriptor 1 (left in text
// mode), CreateThread with CancelSynchronousIo, and ExitProcess.
#include "platform/console.h"

#include <windows.h>

#include <io.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/bounded-stop.h"
#include "platform/timer.h"

namespace platform {

static_assert(sizeof(DWORD) <= sizeof(console_mode::bytes));

namespace {

/// Raw input: line input and echo off, every other bit as found.
/// ENABLE_PROCESSED_INPUT in particular stays, so that Ctrl-C is still turned
/// into SIGINT instead of an input byte.
constexpr DWORD raw_mode_mask = ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT);
static_assert(raw_mode_mask == 0xFFFFFFF9u);

DWORD to_dword(const console_mode& mode) {
    DWORD value = 0;
    std::memcpy(&value, mode.bytes, sizeof value);
    return value;
}

console_mode from_dword(DWORD value) {
    console_mode mode{};
    std::memcpy(mode.bytes, &value, sizeof value);
    return mode;
}

HANDLE stdin_handle() {
    return GetStdHandle(STD_INPUT_HANDLE);
}

/// Set while a reader is being stopped, cleared once it has ended: a reader
/// that checks it between two reads ends instead of blocking again.
std::atomic<bool> read_interrupted{false};

}  // namespace

struct thread {
    HANDLE handle = nullptr;
    DWORD id = 0;  ///< kept beside the handle, never read
    unsigned (*routine)(void*) = nullptr;
    void* arg = nullptr;
};

namespace {

DWORD WINAPI run_thread(LPVOID self) {
    auto* started = static_cast<thread*>(self);
    return started->routine(started->arg);
}

}  // namespace

void make_stdout_unbuffered() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

bool stdin_is_terminal() {
    // _isatty is true for every character device, the NUL device included,
    // whose mode cannot be read, set or restored: only a console counts.
    DWORD mode = 0;
    return _isatty(0) != 0 && GetConsoleMode(stdin_handle(), &mode) != 0;
}

bool stdin_handle_valid() {
    return stdin_handle() != INVALID_HANDLE_VALUE;
}

bool get_console_mode(console_mode& mode) {
    DWORD value = 0;
    if (!GetConsoleMode(stdin_handle(), &value)) return false;
    mode = from_dword(value);
    return true;
}

bool set_console_mode(const console_mode& mode) {
    return SetConsoleMode(stdin_handle(), to_dword(mode)) != 0;
}

console_mode raw_console_mode(const console_mode& current) {
    return from_dword(to_dword(current) & raw_mode_mask);
}

int write_stdout(const void* data, unsigned int len) {
    return _write(1, data, len);
}

stdin_read read_stdin_byte(unsigned char& byte) {
    if (read_interrupted.load()) return stdin_read::failed;
    DWORD count = 0;
    if (!ReadFile(stdin_handle(), &byte, 1, &count, nullptr)) return stdin_read::failed;
    if (read_interrupted.load()) return stdin_read::failed;
    if (count == 0) {
        // A file at its end: it may still grow, so look again a little later.
        sleep_microseconds(20000);
        return stdin_read::nothing;
    }
    return stdin_read::byte;
}

thread* start_thread(unsigned (*routine)(void*), void* arg) {
    auto* started = new thread;
    started->routine = routine;
    started->arg = arg;
    started->handle = CreateThread(nullptr, 0, run_thread, started, 0, &started->id);
    if (started->handle == nullptr) {
        delete started;
        return nullptr;
    }
    return started;
}

bool stop_stdin_reader(thread* stopping, std::chrono::milliseconds limit) {
    read_interrupted.store(true);
    // The reader may be about to enter ReadFile rather than inside it, where
    // a cancellation finds nothing to cancel, and some handles cannot be
    // cancelled at all: cancel again and again, up to the limit.
    auto cancel = [stopping] { CancelSynchronousIo(stopping->handle); };
    auto ended_within = [stopping](std::chrono::milliseconds wait) {
        return WaitForSingleObject(stopping->handle, static_cast<DWORD>(wait.count())) != WAIT_TIMEOUT;
    };
    if (!ask_until_ended(cancel, ended_within, limit)) return false;  // it keeps its handle
    CloseHandle(stopping->handle);
    delete stopping;
    // A stop meant for a reader that has ended must not end the next one.
    read_interrupted.store(false);
    return true;
}

void at_exit(void (*handler)()) {
    std::atexit(handler);
}

void exit_process(int status) {
    ExitProcess(static_cast<UINT>(status));
}

}  // namespace platform
