// What the tests of jtag-board-sim share (see board-sim-support.h).
#include "hardware/tests/board-sim-support.h"

#include "tests/support/loopback.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

std::string board_sim_program() { return TT_BOARD_SIM; }
std::string board_sim_program(const std::string& suffix) { return board_sim_program() + "-" + suffix; }

bool have_openocd() {
    int status = 0;
    test_support::run_command({"/bin/sh", "-c", "command -v openocd"}, {}, &status);
    return status == 0;
}

const std::vector<std::string> k_board_taps = {
    "jtag newtap other tap -irlen 5 -expected-id 0x30a51e2b",
    "jtag newtap fpga tap -irlen 6 -expected-id 0x17e01f57",
};

namespace {

int connect_to(int port) { return test_support::connect_loopback(port); }

// Reads until `done` says so; throws on end of stream or after 20 s.
template <typename Done>
std::string read_until(int fd, Done done) {
    std::string got;
    const auto give_up = std::chrono::steady_clock::now() + 20s;
    char buffer[65536];
    while (!done(got)) {
        pollfd p{fd, POLLIN, 0};
        if (std::chrono::steady_clock::now() > give_up || ::poll(&p, 1, 1000) < 0)
            throw std::runtime_error("no reply in time");
        if (!(p.revents & (POLLIN | POLLHUP)))
            continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            throw std::runtime_error("connection closed");
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

}  // namespace

board_sim::board_sim(std::vector<std::string> args, std::string program) {
    test_support::launch how;
    how.argv = {std::move(program)};
    how.argv.insert(how.argv.end(), args.begin(), args.end());
    how.terminal = false;
    how.stderr_apart = true;
    m_process = std::make_unique<test_support::child_process>(how);
    const std::string prefix = "jtag-board-sim: remote_bitbang on 127.0.0.1:";
    if (!m_process->expect("\n", 20s) || m_process->output().rfind(prefix, 0) != 0)
        throw std::runtime_error("jtag-board-sim did not start: " + m_process->output() + m_process->errors());
    m_port = std::stoi(m_process->output().substr(prefix.size()));
}

bitbang_client::bitbang_client(int port) : m_fd(connect_to(port)) {
    if (m_fd < 0)
        throw std::runtime_error("cannot connect to jtag-board-sim");
}

bitbang_client::~bitbang_client() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void bitbang_client::send(const std::string& bytes) {
    if (::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("send failed");
}

bool bitbang_client::closed_by_board() {
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0)
        return false;
    char byte;
    return ::recv(m_fd, &byte, 1, 0) == 0;
}

std::string bitbang_client::transact(const std::string& requests, std::size_t replies) {
    send(requests);
    if (replies == 0)
        return {};
    return read_until(m_fd, [&](const std::string& got) { return got.size() >= replies; });
}

std::vector<std::string> openocd_adapter_commands(int board_port) {
    return {"adapter driver remote_bitbang", "remote_bitbang host 127.0.0.1",
            "remote_bitbang port " + std::to_string(board_port), "transport select jtag"};
}

openocd_process::openocd_process(int board_port, const std::vector<std::string>& commands, int tcl_port)
    : m_tcl_port(tcl_port) {
    std::string line = "exec openocd";
    for (const std::string& command : openocd_adapter_commands(board_port))
        line += " -c '" + command + "'";
    line += " -c 'gdb_port disabled' -c 'telnet_port disabled' -c 'tcl_port " +
            (tcl_port ? std::to_string(tcl_port) : std::string("disabled")) + "'";
    for (const std::string& command : commands)
        line += " -c '" + command + "'";
    line += " >'" + m_dir.file("openocd.log") + "' 2>&1";
    test_support::launch how;
    how.argv = {"/bin/sh", "-c", line};
    how.terminal = false;
    m_process = std::make_unique<test_support::child_process>(how);
}

openocd_process::~openocd_process() {
    if (!m_process->wait(0ms)) {
        m_process->signal(SIGTERM);
        if (!m_process->wait(10s))
            m_process->signal(SIGKILL);
    }
}

int openocd_process::wait_exit() {
    const auto code = m_process->exit_code(30s);
    return code ? *code : -1;
}

std::string openocd_process::log() const { return m_dir.read("openocd.log"); }

int openocd_process::connect_tcl() {
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int fd = connect_to(m_tcl_port);
        if (fd >= 0)
            return fd;
        if (m_process->wait(0ms))
            break;
        std::this_thread::sleep_for(50ms);
    }
    throw std::runtime_error("OpenOCD's TCL port does not answer: " + log());
}

tcl_client::~tcl_client() { ::close(m_fd); }

std::string tcl_client::command(const std::string& text) {
    std::string request = text;
    request.push_back('\x1a');
    if (::send(m_fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        throw std::runtime_error("send to OpenOCD failed");
    std::string reply = read_until(m_fd, [](const std::string& got) { return !got.empty() && got.back() == '\x1a'; });
    reply.pop_back();
    return reply;
}

bits parse_drscan(const std::string& reply, unsigned count) {
    std::istringstream words(reply);
    std::string word;
    if (!(words >> word))
        throw std::runtime_error("empty drscan reply");
    if (word.rfind("0x", 0) == 0)
        word = word.substr(2);
    bits out(count, false);
    // The last hex digit holds bits 0..3.
    for (std::size_t i = 0; i < word.size(); ++i) {
        const char c = word[word.size() - 1 - i];
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
        if (digit < 0 || digit > 15)
            throw std::runtime_error("not a hex reply: " + reply);
        for (unsigned b = 0; b < 4; ++b)
            if (4 * i + b < count)
                out[4 * i + b] = (digit >> b) & 1;
    }
    return out;
}

std::string drscan_value(const bits& value) {
    std::string hex;
    for (std::size_t nibble = 0; nibble * 4 < value.size(); ++nibble) {
        int digit = 0;
        for (unsigned b = 0; b < 4 && nibble * 4 + b < value.size(); ++b)
            digit |= value[nibble * 4 + b] << b;
        hex.insert(hex.begin(), "0123456789abcdef"[digit]);
    }
    return "0x" + hex;
}

