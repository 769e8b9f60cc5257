// What the tests of jtag-board-sim share: the program started on a free
// loopback port, a remote_bitbang client that pipelines whole scans, OpenOCD
// started against the board with its output in a file, and a client of
// OpenOCD's TCL port.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hardware/tests/jtag-probe.h"
#include "tests/support/child-process.h"
#include "tests/support/free-port.h"
#include "tests/support/temp-dir.h"

std::string board_sim_program();
/// jtag-board-sim built with another chain: `suffix` names it (ecp5-direct,
/// ecp5-registered, ecp5-late-jtck, xc7).
std::string board_sim_program(const std::string& suffix);

/// Whether OpenOCD is installed; the tests that need it skip without it.
bool have_openocd();
#define NEED_OPENOCD()                                                   \
    if (!have_openocd())                                                 \
    GTEST_SKIP() << "openocd is missing (Debian: openocd)"

/// The simulated board's TAPs declared for OpenOCD, nearest TDO first.
extern const std::vector<std::string> k_board_taps;
using test_support::free_port;

class board_sim {
public:
    /// Starts jtag-board-sim with `args` and reads the port from its first
    /// line; throws std::runtime_error with its words when it does not start.
    explicit board_sim(std::vector<std::string> args = {}, std::string program = board_sim_program());
    int port() const { return m_port; }
    std::string errors() { return m_process->errors(); }
    test_support::child_process& process() { return *m_process; }

private:
    std::unique_ptr<test_support::child_process> m_process;
    int m_port = 0;
};

/// The tests' JTAG host on a jtag-board-sim, over remote_bitbang.
class bitbang_client : public JTAG_HOST {
public:
    explicit bitbang_client(int port);
    ~bitbang_client() override;
    bitbang_client(const bitbang_client&) = delete;
    bitbang_client& operator=(const bitbang_client&) = delete;

    /// Sends raw bytes.
    void send(const std::string& bytes);
    /// True when the board closed the connection (within a guard time).
    bool closed_by_board();

protected:
    std::string transact(const std::string& requests, std::size_t replies) override;

private:
    int m_fd = -1;
};

/// OpenOCD's commands that reach the board over remote_bitbang on `board_port`.
std::vector<std::string> openocd_adapter_commands(int board_port);

/// OpenOCD on the board's remote_bitbang port with `commands` (-c each)
/// after the adapter's; standard output and error go to a file.
class openocd_process {
public:
    openocd_process(int board_port, const std::vector<std::string>& commands, int tcl_port = 0);
    ~openocd_process();
    /// Waits for the end; its exit code or -1 on time-out.
    int wait_exit();
    std::string log() const;
    /// Connects to its TCL port (retrying while it starts).
    int connect_tcl();

private:
    test_support::temp_dir m_dir;
    std::unique_ptr<test_support::child_process> m_process;
    int m_tcl_port;
};

/// A client of OpenOCD's TCL port: commands end with 0x1a, so do replies.
class tcl_client {
public:
    explicit tcl_client(int fd) : m_fd(fd) {}
    ~tcl_client();
    std::string command(const std::string& text);

private:
    int m_fd;
};

/// The captured bits of a drscan reply of one field: bare hex words
/// (OpenOCD 0.12) or 0x-prefixed words on lines of their own (later versions).
bits parse_drscan(const std::string& reply, unsigned count);
/// A field for drscan: hex of `value`, bit 0 first shifted.
std::string drscan_value(const bits& value);

