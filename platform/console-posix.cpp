// Console services on POSIX: termios on descriptor 0, read(2) one byte at a
// time, write(2) on descriptor 1, a pthread woken through a pipe, and _exit.
#include "platform/console.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "platform/bounded-stop.h"

namespace platform {

static_assert(sizeof(termios) <= sizeof(console_mode::bytes));

namespace {

termios to_termios(const console_mode& mode) {
    termios t{};
    std::memcpy(&t, mode.bytes, sizeof t);
    return t;
}

console_mode from_termios(const termios& t) {
    console_mode mode{};
    std::memcpy(mode.bytes, &t, sizeof t);
    return mode;
}

/// Zero bytes from a regular file or a non-terminal device means "nothing
/// yet"; from a pipe, FIFO, socket or terminal it means the input has ended.
bool zero_read_is_end_of_input() {
    struct stat status {};
    if (fstat(0, &status) != 0) return true;
    if (S_ISREG(status.st_mode)) return false;
    if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) return isatty(0) != 0;
    return true;
}

/// A descriptor of our own never takes the place of a closed standard one,
/// where the program's console reads and writes would reach it.
int above_standard_descriptors(int fd) {
    if (fd < 0 || fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

/// A pipe whose read end wakes a reader blocked on standard input; -1 when it
/// could not be made (the teardown then leaves a blocked reader as it is).
int wake_pipe[2] = {-1, -1};
std::once_flag wake_pipe_made;

int wake_fd() {
    std::call_once(wake_pipe_made, [] {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return;
        ends[0] = above_standard_descriptors(ends[0]);
        ends[1] = above_standard_descriptors(ends[1]);
        if (ends[0] < 0 || ends[1] < 0) {
            for (int fd : ends)
                if (fd >= 0) close(fd);
            return;
        }
        fcntl(ends[0], F_SETFL, O_NONBLOCK);
        wake_pipe[0] = ends[0];
        wake_pipe[1] = ends[1];
    });
    return wake_pipe[0];
}

/// Waits until descriptor 0 has something to say (data, end, error) or a
/// wake-up arrives; false on a wake-up, which it consumes.
bool wait_for_stdin() {
    for (;;) {
        pollfd fds[2] = {{0, POLLIN, 0}, {wake_fd(), POLLIN, 0}};
        int ready = poll(fds, fds[1].fd < 0 ? 1 : 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return true;  // let the read itself report the failure
        }
        if (fds[1].fd >= 0 && (fds[1].revents & POLLIN)) {
            char token;
            [[maybe_unused]] ssize_t n = ::read(fds[1].fd, &token, 1);
            return false;
        }
        return true;
    }
}

}  // namespace

struct thread {
    pthread_t id{};
    unsigned (*routine)(void*) = nullptr;
    void* arg = nullptr;
    std::mutex mutex;
    std::condition_variable ended_signal;
    bool ended = false;  ///< guarded by mutex
};

namespace {

void* run_thread(void* handle) {
    auto* self = static_cast<thread*>(handle);
    self->routine(self->arg);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->ended = true;
    self->ended_signal.notify_all();
    return nullptr;
}

}  // namespace

void make_stdout_unbuffered() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

bool stdin_is_terminal() {
    return isatty(0) != 0;
}

bool stdin_handle_valid() {
    // Descriptor 0 is a number, never an invalid handle; a closed descriptor
    // makes the reads fail, which ends the input.
    return true;
}

bool get_console_mode(console_mode& mode) {
    termios t{};
    if (tcgetattr(0, &t) != 0) return false;
    mode = from_termios(t);
    return true;
}

bool set_console_mode(const console_mode& mode) {
    termios t = to_termios(mode);
    return tcsetattr(0, TCSANOW, &t) == 0;
}

console_mode raw_console_mode(const console_mode& current) {
    termios t = to_termios(current);
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | IEXTEN);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
    // Ctrl-C still raises SIGINT; Ctrl-\ and Ctrl-Z reach the target as bytes.
    t.c_lflag |= ISIG;
    t.c_cc[VQUIT] = _POSIX_VDISABLE;
    t.c_cc[VSUSP] = _POSIX_VDISABLE;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return from_termios(t);
}

int write_stdout(const void* data, unsigned int len) {
    ssize_t written = ::write(1, data, len);
    return written < 0 ? -1 : static_cast<int>(written);
}

stdin_read read_stdin_byte(unsigned char& byte) {
    for (;;) {
        if (!wait_for_stdin()) return stdin_read::failed;
        ssize_t n = ::read(0, &byte, 1);
        if (n == 1) return stdin_read::byte;
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 && !zero_read_is_end_of_input()) {
            timespec pause{0, 20 * 1000 * 1000};
            nanosleep(&pause, nullptr);
            return stdin_read::nothing;
        }
        return stdin_read::failed;
    }
}

thread* start_thread(unsigned (*routine)(void*), void* arg) {
    wake_fd();  // made before the reader can block
    auto* handle = new thread;
    handle->routine = routine;
    handle->arg = arg;
    if (pthread_create(&handle->id, nullptr, run_thread, handle) != 0) {
        delete handle;
        return nullptr;
    }
    return handle;
}

bool stop_stdin_reader(thread* reader, std::chrono::milliseconds limit) {
    // The wake-up reaches a reader waiting in poll, not one that poll let
    // into a read whose data another process took first.
    auto wake = [] {
        if (wake_fd() < 0) return;
        char token = 0;
        [[maybe_unused]] ssize_t n = ::write(wake_pipe[1], &token, 1);
    };
    auto ended_within = [reader](std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> lock(reader->mutex);
        return reader->ended_signal.wait_for(lock, wait, [reader] { return reader->ended; });
    };
    if (!ask_until_ended(wake, ended_within, limit)) {
        pthread_detach(reader->id);  // it keeps its handle
        return false;
    }
    pthread_join(reader->id, nullptr);
    delete reader;
    // A wake-up meant for a reader that had already ended must not end the next one.
    char token;
    while (wake_fd() >= 0 && ::read(wake_pipe[0], &token, 1) > 0) {
    }
    return true;
}

void at_exit(void (*handler)()) {
    std::atexit(handler);
}

void exit_process(int status) {
    _exit(status);
}

}  // namespace platform
