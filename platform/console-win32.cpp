// Console services on Windows: the console input mode of the standard input
// handle, ReadFile one byte at a time, _write on descriptor 1 (left in text
// mode), CreateThread, the process heap and ExitProcess.
#include "platform/console.h"

#include <windows.h>

#include <io.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/timer.h"

namespace platform {

static_assert(sizeof(DWORD) <= sizeof(console_mode::bytes));

namespace {

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

/// Set by interrupt_stdin_read, cleared by join_thread: a reader that checks
/// it between two reads ends instead of blocking again.
std::atomic<bool> read_interrupted{false};

}  // namespace

struct thread {
    HANDLE handle = nullptr;
    DWORD id = 0;  ///< kept beside the handle, never read
    unsigned (*routine)(void*) = nullptr;
    void* arg = nullptr;
};

namespace {

/// The thread that reads standard input: the only one start_thread starts.
std::atomic<thread*> reader{nullptr};

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
    // Line input and echo off; ENABLE_PROCESSED_INPUT stays as found, so that
    // Ctrl-C is still turned into SIGINT instead of an input byte.
    return from_dword(to_dword(current) & 0xFFFFFFF9u);
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

void* heap_alloc_zeroed(std::size_t size) {
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
}

void heap_free(void* block) {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
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
    reader.store(started);
    return started;
}

void interrupt_stdin_read() {
    read_interrupted.store(true);
    thread* current = reader.load();
    if (current == nullptr) return;
    // The reader may be about to enter ReadFile rather than inside it, where
    // a cancellation finds nothing to cancel: keep cancelling until it ends.
    while (WaitForSingleObject(current->handle, 0) == WAIT_TIMEOUT) {
        CancelSynchronousIo(current->handle);
        if (WaitForSingleObject(current->handle, 20) != WAIT_TIMEOUT) break;
    }
}

void join_thread(thread* handle) {
    WaitForSingleObject(handle->handle, INFINITE);
    CloseHandle(handle->handle);
    thread* expected = handle;
    reader.compare_exchange_strong(expected, nullptr);
    delete handle;
    // A wake-up meant for a reader that has ended must not end the next one.
    read_interrupted.store(false);
}

void at_exit(void (*handler)()) {
    std::atexit(handler);
}

void exit_process(int status) {
    ExitProcess(static_cast<UINT>(status));
}

}  // namespace platform
