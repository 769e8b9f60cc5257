// What the tests of jtag-board-sim share: the program started on a free
// loopback port, a remote_bitbang client that pipelines whole scans, OpenOCD
// started against the board with its output in a file, and a client of
// OpenOCD's TCL port.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child-process.h"
#include "tests/support/temp-dir.h"

using bits = std::vector<bool>;

std::string board_sim_program();
/// A loopback port free at the time of the call.
int free_port();

class board_sim {
public:
    /// Starts jtag-board-sim with `args` and reads the port from its first
    /// line; throws std::runtime_error with its words when it does not start.
    explicit board_sim(std::vector<std::string> args = {});
    int port() const { return m_port; }
    std::string errors() { return m_process->errors(); }
    test_support::child_process& process() { return *m_process; }

private:
    std::unique_ptr<test_support::child_process> m_process;
    int m_port = 0;
};

/// A remote_bitbang client: each scan is sent as one batch of requests and
/// its replies read after.
class bitbang_client {
public:
    explicit bitbang_client(int port);
    ~bitbang_client();
    bitbang_client(const bitbang_client&) = delete;
    bitbang_client& operator=(const bitbang_client&) = delete;

    /// Sends raw bytes.
    void send(const std::string& bytes);
    /// True when the board closed the connection (within a guard time).
    bool closed_by_board();

    void reset();  ///< five TMS-high clocks, then Run-Test/Idle
    /// From Run-Test/Idle, the chain's IR: the other device's 5 bits first,
    /// then the FPGA's 6; the captured bits.
    std::uint64_t instruction(unsigned fpga_code, unsigned other_code = 0x1F);
    /// From Run-Test/Idle, a DR scan of the FPGA with the other device in
    /// BYPASS (shifted as a zero after the FPGA's bits).
    bits fpga_dr(const bits& in);
    /// One JTAG UART scan: sends `send`, takes up to `length`; appends what
    /// was taken to `received` and removes what the core accepted from `send`.
    void uart_exchange(std::vector<std::uint8_t>& send, std::vector<std::uint8_t>& received, unsigned length);

private:
    void clock(std::string& requests, bool tms, bool tdi, bool read);
    std::string exchange(const std::string& requests, std::size_t replies);
    int m_fd = -1;
};

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

bits uart_field(const std::vector<std::uint8_t>& send, unsigned takes, unsigned length);
std::uint64_t field_word(const bits& value, unsigned first, unsigned count);
