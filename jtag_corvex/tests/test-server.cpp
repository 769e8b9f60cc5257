// The test server helper: fork/exec of the built jtag-server, its first line
// read for the port, generous time-outs only as a guard against hangs.
#include "test-server.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
constexpr int k_guard_ms = 20000;
}

TEST_SERVER::TEST_SERVER(const std::string& board_text, const std::vector<std::string>& extra_args) {
    char path[] = "/tmp/jtag-board-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) {
        m_error = "cannot make a board file";
        return;
    }
    ::close(fd);
    m_board_path = path;
    std::ofstream(m_board_path) << board_text;
    int out[2];
    if (::pipe(out) != 0) {
        m_error = "pipe";
        return;
    }
    std::vector<std::string> args{JTAG_SERVER_PATH, "--board", path, "--listen", "127.0.0.1:0"};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execv(JTAG_SERVER_PATH, argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    m_stdout = out[0];
    const std::string first = read_line();
    const std::string prefix = "jtag-server: listening on 127.0.0.1:";
    if (first.compare(0, prefix.size(), prefix) != 0) {
        m_error = "unexpected first line \"" + first + "\"";
        stop();
        return;
    }
    m_port = std::atoi(first.c_str() + prefix.size());
    ::setenv("JTAG_CORVEX_SERVER", address().c_str(), 1);
}

TEST_SERVER::~TEST_SERVER() {
    stop();
    if (m_stdout >= 0)
        ::close(m_stdout);
    if (!m_board_path.empty())
        ::unlink(m_board_path.c_str());
}

std::string TEST_SERVER::read_line() {
    for (;;) {
        const std::size_t end = m_pending.find('\n');
        if (end != std::string::npos) {
            std::string line = m_pending.substr(0, end);
            m_pending.erase(0, end + 1);
            return line;
        }
        pollfd entry{m_stdout, POLLIN, 0};
        if (m_stdout < 0 || ::poll(&entry, 1, k_guard_ms) <= 0)
            return {};
        char buffer[256];
        const ssize_t got = ::read(m_stdout, buffer, sizeof buffer);
        if (got <= 0)
            return {};
        m_pending.append(buffer, static_cast<std::size_t>(got));
    }
}

int TEST_SERVER::chainprobe(const std::string& arguments, std::string* output) const {
    const std::string command = std::string(CHAINPROBE_PATH) + " --server " + address() + " " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    char buffer[512];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        if (output != nullptr)
            output->append(buffer, got);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void TEST_SERVER::kill_hard() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

void TEST_SERVER::stop() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

std::string refused_address() {
    // A bound socket that does not listen keeps its port while connections to it are refused.
    static int holder = -1;
    if (holder < 0) {
        holder = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&bound), &length);
    return "127.0.0.1:" + std::to_string(ntohs(bound.sin_port));
}
