// Starting and stopping the simulated JTAG server for one test.
#include "sim-server.h"

#include <csignal>
#include <cstdio>
#include <pty.h>
#include <unistd.h>
#include <stdexcept>

namespace e2e {

std::string terminal_program() { return TT_TERMINAL_PATH; }
std::string server_program() { return TT_SERVER_PATH; }
std::string chainprobe_program() { return TT_CHAINPROBE_PATH; }

sim_server::sim_server(const std::string& board_toml, int port) : m_port(port) {
    m_dir.write("board.toml", board_toml);
    start();
}

sim_server::~sim_server() {
    if (m_process) {
        m_process->signal(SIGTERM);
        if (!m_process->wait(10s)) m_process->signal(SIGKILL);
    }
}

void sim_server::start() {
    launch how{.argv = {server_program(), "--board", m_dir.file("board.toml"), "--listen",
                        "127.0.0.1:" + std::to_string(m_port)},
                .cwd = m_dir.path(),
                .terminal = false,
                .stderr_apart = true};
    m_process = std::make_unique<child_process>(how);
    const std::string prefix = "jtag-server: listening on 127.0.0.1:";
    if (!m_process->expect(prefix, 20s) || !m_process->expect("\n", 5s)) {
        throw std::runtime_error("jtag-server did not start: " + m_process->output() + m_process->errors());
    }
    std::string out = m_process->output();
    size_t at = out.find(prefix) + prefix.size();
    m_port = std::stoi(out.substr(at, out.find('\n', at) - at));
}

std::string sim_server::address_setting() const {
    return "JTAG_CORVEX_SERVER=127.0.0.1:" + std::to_string(m_port);
}

void sim_server::kill_now() {
    m_process->signal(SIGKILL);
    m_process->wait(10s);
    m_process.reset();
}

void sim_server::restart() {
    start();
}

std::string sim_server::chainprobe(const std::vector<std::string>& args, int* status) const {
    std::vector<std::string> argv{chainprobe_program()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv, {address_setting()}, status);
}

std::unique_ptr<child_process> sim_server::terminal(std::vector<std::string> args, launch how) const {
    how.argv = {terminal_program()};
    how.argv.insert(how.argv.end(), args.begin(), args.end());
    how.env.push_back(address_setting());
    if (how.cwd.empty()) how.cwd = m_dir.path();
    return std::make_unique<child_process>(how);
}

termios fresh_terminal_mode() {
    int master = -1, slave = -1;
    termios mode{};
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) == 0) {
        tcgetattr(slave, &mode);
        close(master);
        close(slave);
    }
    return mode;
}

std::string printf_escapes(const std::string& bytes) {
    std::string out;
    char octal[8];
    for (unsigned char c : bytes) {
        std::snprintf(octal, sizeof octal, "\\%03o", c);
        out += octal;
    }
    return out;
}

std::string shell_quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out.push_back(c);
        }
    }
    return out + "'";
}

std::string exec_board(const std::string& command, int support) {
    std::string toml_command;
    for (char c : command) {
        if (c == '\\' || c == '"') toml_command.push_back('\\');
        toml_command.push_back(c);
    }
    return "[[cable]]\n"
           "name = \"SimCable [sim-0]\"\n"
           "support = " + std::to_string(support) + "\n"
           "[[cable.device]]\n"
           "[[cable.device.uart]]\n"
           "target = \"exec\"\n"
           "command = \"" + toml_command + "\"\n";
}

}  // namespace e2e
