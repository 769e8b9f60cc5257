// Starts a real jtag-server on a free loopback port for one test, with a
// board file written from text, and points JTAG_CORVEX_SERVER at it.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

class TEST_SERVER {
public:
    /// Starts the server; on failure `error()` says why and port() is 0.
    /// `extra_args` go to jtag-server after --board and --listen.
    explicit TEST_SERVER(const std::string& board_text, const std::vector<std::string>& extra_args = {});
    ~TEST_SERVER();

    bool running() const { return m_port != 0; }
    const std::string& error() const { return m_error; }
    int port() const { return m_port; }
    pid_t pid() const { return m_pid; }
    std::string address() const { return "127.0.0.1:" + std::to_string(m_port); }
    /// Lines the server printed after the first one (e.g. tcp target addresses).
    std::string read_line();

    /// Runs chainprobe against this server with `arguments`; its exit status.
    int chainprobe(const std::string& arguments, std::string* output = nullptr) const;

    void kill_hard();  ///< SIGKILL, as a crash would
    void stop();       ///< SIGTERM, and wait

private:
    pid_t m_pid = -1;
    int m_stdout = -1;
    int m_port = 0;
    std::string m_board_path;
    std::string m_error;
    std::string m_pending;
};

/// A loopback address where nothing listens: connections are refused.
std::string refused_address();
