// The CPU side of an exec UART (see exec-uart.h).
#include "hardware/board-sim/exec-uart.h"

#include "platform/spawn.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
constexpr std::size_t k_cpu_buffer = 64;  ///< output bytes the CPU holds beyond the FIFO
}

EXEC_UART::~EXEC_UART() { stop(); }

bool EXEC_UART::start(std::string& error) {
    SPAWNED child;
    if (!spawn_command(m_command, child, error)) {
        error = "'" + m_command + "': " + error;
        return false;
    }
    m_pid = child.pid;
    m_to_command = child.to_child;
    m_from_command = child.from_child;
    ::fcntl(m_to_command, F_SETFL, O_NONBLOCK);
    ::fcntl(m_from_command, F_SETFL, O_NONBLOCK);
    return true;
}

bool EXEC_UART::check_started(std::string& error) {
    using namespace std::chrono_literals;
    const auto give_up = std::chrono::steady_clock::now() + 150ms;
    while (std::chrono::steady_clock::now() < give_up) {
        int status = 0;
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_pid = -1;
            if (WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127)) {
                error = "--uart exec:" + m_command + ": the command cannot start (exit status " +
                        std::to_string(WEXITSTATUS(status)) + ")";
                return false;
            }
            return true;  // it ran and ended: its output is still in the pipe
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

void EXEC_UART::add_poll(std::vector<pollfd>& fds, const UART_SIDE& side) const {
    if (m_to_command >= 0 && !side.inbox.empty())
        fds.push_back({m_to_command, POLLOUT, 0});
    if (m_from_command >= 0 && side.outbox.size() < k_cpu_buffer && side.transmit_room)
        fds.push_back({m_from_command, POLLIN, 0});
}

void EXEC_UART::pump(UART_SIDE& side) {
    while (m_to_command >= 0 && !side.inbox.empty()) {
        char buffer[4096];
        std::size_t count = 0;
        for (auto byte = side.inbox.begin(); byte != side.inbox.end() && count < sizeof buffer; ++byte)
            buffer[count++] = static_cast<char>(*byte);
        const ssize_t written = ::write(m_to_command, buffer, count);
        if (written > 0) {
            side.inbox.erase(side.inbox.begin(), side.inbox.begin() + written);
            continue;
        }
        if (written < 0 && (errno == EAGAIN || errno == EINTR))
            break;
        // The command stopped reading for good: what it would have read is gone with it.
        ::close(m_to_command);
        m_to_command = -1;
        side.inbox.clear();
    }
    if (m_to_command < 0)
        side.inbox.clear();
    // Output only while the transmit FIFO has room: a command that writes
    // more than the host takes blocks in its write.
    if (m_from_command >= 0 && side.outbox.size() < k_cpu_buffer && side.transmit_room) {
        char buffer[k_cpu_buffer];
        const ssize_t got = ::read(m_from_command, buffer, k_cpu_buffer - side.outbox.size());
        if (got > 0) {
            side.outbox.insert(side.outbox.end(), buffer, buffer + got);
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            std::fprintf(stderr, "jtag-board-sim: uart %u: the command's output ended\n", m_index);
            ::close(m_from_command);
            m_from_command = -1;
        }
    }
}

void EXEC_UART::stop() {
    if (m_to_command >= 0)
        ::close(m_to_command);
    if (m_from_command >= 0)
        ::close(m_from_command);
    m_to_command = m_from_command = -1;
    // The command's whole group; one that ignores SIGTERM is killed.
    end_spawned(m_pid, std::chrono::seconds(2));
    m_pid = -1;
}
