// A jtag-server of the test's own on a free loopback port, with a board file
// written for the test, and the commands that run against it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "child-process.h"

namespace e2e {

/// Paths of the programs under test (set by the build).
std::string terminal_program();
std::string server_program();
std::string chainprobe_program();

class sim_server {
public:
    /// Starts the server with this board file text; port 0 picks a free port.
    explicit sim_server(const std::string& board_toml, int port = 0);
    ~sim_server();

    int port() const { return m_port; }
    /// The server's process id, for figures read from /proc; -1 when stopped.
    pid_t pid() const { return m_process ? m_process->pid() : -1; }
    /// The library's configuration that points at this server.
    std::string address_setting() const;

    /// Kills the server at once (SIGKILL), as a crash would.
    void kill_now();
    /// Starts it again on the same port with the same board.
    void restart();

    /// What the server printed on standard error so far.
    std::string log() { return m_process ? m_process->errors() : std::string(); }

    /// Runs chainprobe against this server; its standard output.
    std::string chainprobe(const std::vector<std::string>& args, int* status = nullptr) const;

    /// Starts tolvan-terminal against this server.
    std::unique_ptr<child_process> terminal(std::vector<std::string> args, launch how = {}) const;

    const temp_dir& dir() const { return m_dir; }

private:
    void start();

    temp_dir m_dir;
    int m_port;
    std::unique_ptr<child_process> m_process;
};

/// A board file with one cable, one device and one UART whose target runs
/// `command` (an exec target), and the cable's support value.
std::string exec_board(const std::string& command, int support = 0);

/// The mode every new pseudo-terminal starts in: what a terminal under test
/// found before it touched anything.
termios fresh_terminal_mode();

/// The bytes as octal escapes for a target's shell `printf` format.
std::string printf_escapes(const std::string& bytes);

/// Quotes a text for /bin/sh.
std::string shell_quoted(const std::string& text);

}  // namespace e2e
