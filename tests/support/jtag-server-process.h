// A jtag-server of the test's own on a free loopback port, with a board file
// written for the test, and the programs that run against it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/child-process.h"
#include "tests/support/temp-dir.h"

namespace test_support {

/// Paths of the programs under test (set by the build).
std::string terminal_program();
std::string server_program();
std::string chainprobe_program();

class jtag_server {
public:
    /// Starts the server with this board-file text and `extra_args` after
    /// --board and --listen; port 0 picks a free port. Points this process's
    /// access library at it (JTAG_CORVEX_SERVER). Throws std::runtime_error
    /// with the server's words when it does not start.
    explicit jtag_server(const std::string& board_toml, std::vector<std::string> extra_args = {}, int port = 0);
    ~jtag_server();
    jtag_server(const jtag_server&) = delete;
    jtag_server& operator=(const jtag_server&) = delete;

    int port() const { return m_port; }
    /// The server's process id, for figures read from /proc; -1 when stopped.
    pid_t pid() const { return m_process ? m_process->pid() : -1; }
    /// "127.0.0.1:PORT".
    std::string address() const;
    /// The library's environment setting that points at this server.
    std::string address_setting() const;

    /// The next line the server prints after its first one (a tcp target's
    /// address); empty when none comes within the guard time.
    std::string next_line();
    /// What the server printed on standard error so far.
    std::string log();
    /// Waits until standard error shows `text` (a thread of the server's
    /// writes it, a moment after the event); false on time-out.
    bool logged(const std::string& text, std::chrono::seconds guard = 10s);

    /// SIGKILL, as a crash would.
    void kill_now();
    /// SIGTERM, then waits for the end.
    void stop();
    /// Starts it again on the same port with the same board.
    void restart();

    /// Runs chainprobe against this server: its exit status, and in
    /// `output` what it printed (standard output and standard error).
    int chainprobe(const std::vector<std::string>& args, std::string* output = nullptr) const;

    /// Waits until a client of this name holds a UART; false on time-out.
    bool wait_until_held_by(const std::string& client, std::chrono::seconds guard = 60s) const;

    /// Starts tolvan-terminal against this server, by default in the
    /// server's own folder.
    std::unique_ptr<child_process> terminal(std::vector<std::string> args, launch how = {}) const;

    const temp_dir& dir() const { return m_dir; }

private:
    void start();

    temp_dir m_dir;
    std::vector<std::string> m_extra_args;
    int m_port;
    std::unique_ptr<child_process> m_process;
    std::size_t m_lines_read = 0;  ///< offset in the output of the next line
};

/// A terminal that has connected and relays, so that typing reaches it raw.
std::unique_ptr<child_process> relaying_terminal(const jtag_server& server, std::vector<std::string> args,
                                                 launch how = {});

}  // namespace test_support
