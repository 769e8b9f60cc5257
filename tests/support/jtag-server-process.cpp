// Starting and stopping jtag-server for one test; the programs run against it.
#include "tests/support/jtag-server-process.h"

#include <csignal>
#include <cstdlib>
#include <stdexcept>

#include <gtest/gtest.h>

namespace test_support {

std::string terminal_program() { return TT_TEST_TERMINAL; }
std::string server_program() { return TT_TEST_SERVER; }
std::string chainprobe_program() { return TT_TEST_CHAINPROBE; }

jtag_server::jtag_server(const std::string& board_toml, std::vector<std::string> extra_args, int port)
    : m_extra_args(std::move(extra_args)), m_port(port) {
    m_dir.write("board.toml", board_toml);
    start();
}

jtag_server::~jtag_server() {
    if (m_process) {
        m_process->signal(SIGTERM);
        if (!m_process->wait(10s)) m_process->signal(SIGKILL);
    }
}

void jtag_server::start() {
    launch how{.argv = {server_program(), "--board", m_dir.file("board.toml"), "--listen",
                        "127.0.0.1:" + std::to_string(m_port)},
               .cwd = m_dir.path(),
               .terminal = false,
               .stderr_apart = true};
    how.argv.insert(how.argv.end(), m_extra_args.begin(), m_extra_args.end());
    m_process = std::make_unique<child_process>(how);
    const std::string prefix = "jtag-server: listening on 127.0.0.1:";
    if (!m_process->expect(prefix, 20s) || !m_process->expect("\n", 5s)) {
        std::string words = m_process->output() + m_process->errors();
        m_process.reset();
        throw std::runtime_error("jtag-server did not start: " + words);
    }
    const std::string out = m_process->output();
    const std::size_t at = out.find(prefix) + prefix.size();
    m_lines_read = out.find('\n', at) + 1;
    m_port = std::stoi(out.substr(at, m_lines_read - 1 - at));
    setenv("JTAG_CORVEX_SERVER", address().c_str(), 1);
}

std::string jtag_server::address() const {
    return "127.0.0.1:" + std::to_string(m_port);
}

std::string jtag_server::address_setting() const {
    return "JTAG_CORVEX_SERVER=" + address();
}

std::string jtag_server::next_line() {
    if (!m_process || !m_process->expect("\n", 20s, m_lines_read)) return {};
    const std::string out = m_process->output();
    const std::size_t end = out.find('\n', m_lines_read);
    std::string line = out.substr(m_lines_read, end - m_lines_read);
    m_lines_read = end + 1;
    return line;
}

std::string jtag_server::log() {
    return m_process ? m_process->errors() : std::string();
}

bool jtag_server::logged(const std::string& text, std::chrono::seconds guard) {
    return eventually([&] { return log().find(text) != std::string::npos; }, guard);
}

void jtag_server::kill_now() {
    if (!m_process) return;
    m_process->signal(SIGKILL);
    m_process->wait(10s);
    m_process.reset();
}

void jtag_server::stop() {
    if (!m_process) return;
    m_process->signal(SIGTERM);
    m_process->wait(10s);
    m_process.reset();
}

void jtag_server::restart() {
    start();
}

int jtag_server::chainprobe(const std::vector<std::string>& args, std::string* output) const {
    std::vector<std::string> argv{chainprobe_program()};
    argv.insert(argv.end(), args.begin(), args.end());
    int status = -1;
    std::string printed = run_command(argv, {address_setting()}, &status);
    if (output != nullptr) *output = printed;
    return status;
}

std::unique_ptr<child_process> jtag_server::terminal(std::vector<std::string> args, launch how) const {
    how.argv = {terminal_program()};
    how.argv.insert(how.argv.end(), args.begin(), args.end());
    how.env.push_back(address_setting());
    if (how.cwd.empty()) how.cwd = m_dir.path();
    return std::make_unique<child_process>(how);
}

bool jtag_server::wait_until_held_by(const std::string& client, std::chrono::seconds guard) const {
    return eventually([&] {
        std::string listing;
        chainprobe({}, &listing);
        return listing.find("held by " + client + " ") != std::string::npos;
    }, guard);
}

std::unique_ptr<child_process> relaying_terminal(const jtag_server& server, std::vector<std::string> args,
                                                 launch how) {
    auto terminal = server.terminal(std::move(args), std::move(how));
    EXPECT_TRUE(terminal->expect("Ctrl-C to terminate)\n\n", 60s)) << escaped(terminal->output());
    return terminal;
}

}  // namespace test_support
