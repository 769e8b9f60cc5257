// Helpers of the soak and fault tests: sizes taken from the environment,
// a terminal whose standard output goes to a file, process figures read
// from /proc, and boards built for the tests.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim-server.h"

namespace soak {

/// Resident memory that may come and go without a leak: a little, or, under
/// a sanitizer, what its quarantine of freed blocks may hold.
#ifdef TT_SANITIZED
constexpr std::size_t memory_slack_kib = 256 * 1024;
#else
constexpr std::size_t memory_slack_kib = 1024;
#endif

/// A size from the environment (for longer soaks by hand), or the default.
std::size_t env_size(const char* name, std::size_t fallback);

/// Starts tolvan-terminal against `server` with its standard output sent to
/// `output_file` and its standard input on a pipe that the test holds.
std::unique_ptr<e2e::child_process> terminal_to_file(const e2e::sim_server& server,
                                                     const std::vector<std::string>& args,
                                                     const std::string& output_file, const std::string& cwd);

/// Open descriptors and resident memory (KiB) of a running process.
std::size_t open_descriptors(pid_t pid);
std::size_t resident_kib(pid_t pid);

/// One cable "SimCable [sim-0]", one device, one UART running `command`,
/// with FIFOs of `fifo` bytes each way.
std::string exec_board(const std::string& command, unsigned fifo);

/// The soak-source program for a plan, as an exec target's command.
std::string source_command(std::uint64_t seed, std::size_t console_bytes, std::size_t block_every,
                           std::size_t max_profile);

/// Waits (polling, generous guard) until `predicate` holds; false on time-out.
template <typename Predicate>
bool eventually(Predicate predicate, int guard_seconds = 60);

}  // namespace soak

#include <chrono>
#include <thread>

template <typename Predicate>
bool soak::eventually(Predicate predicate, int guard_seconds) {
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(guard_seconds);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

namespace soak {

/// A bare TCP client of the server's port, for clients that misbehave.
class raw_client {
public:
    explicit raw_client(int port);
    ~raw_client();
    raw_client(const raw_client&) = delete;
    raw_client& operator=(const raw_client&) = delete;

    bool connected() const { return m_fd >= 0; }
    /// False when the connection refused the bytes (closed).
    bool send(const std::string& bytes);
    bool send(const std::vector<std::uint8_t>& bytes);
    /// Whatever arrives within `limit_ms` (stops early once something came).
    std::string receive(int limit_ms);
    /// Reads until the server closes the connection; false if it stays open
    /// for `guard_seconds`.
    bool closed_by_server(int guard_seconds = 30);
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
};

}  // namespace soak

namespace soak {

/// CPU time (user + system, in clock ticks) a process has used so far.
long cpu_ticks(pid_t pid);

}  // namespace soak
