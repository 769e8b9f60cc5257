// Pseudo-terminal and pipe plumbing for the end-to-end tests.
#include "tests/support/child-process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/support/expected-texts.h"

namespace test_support {

namespace {

[[noreturn]] void exec_child(const launch& how) {
    if (!how.cwd.empty() && chdir(how.cwd.c_str()) != 0) _exit(126);
    for (const auto& assignment : how.env) putenv(strdup(assignment.c_str()));
    std::vector<char*> argv;
    for (const auto& arg : how.argv) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    signal(SIGPIPE, SIG_DFL);
    for (int fd : how.closed) close(fd);
    execv(argv[0], argv.data());
    _exit(127);
}

void read_available(int fd, std::string& into) {
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<size_t>(n));
            continue;
        }
        return;
    }
}

}  // namespace

child_process::child_process(const launch& how) : m_terminal_mode(how.terminal) {
    int error_pipe[2] = {-1, -1};
    if (how.stderr_apart && pipe(error_pipe) != 0) throw std::runtime_error("pipe");
    if (how.terminal) {
        int master = -1;
        int slave = -1;
        winsize size{24, 80, 0, 0};
        if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) throw std::runtime_error("openpty");
        int out[2] = {-1, -1};
        if (how.stdout_apart && pipe(out) != 0) throw std::runtime_error("pipe");
        m_pid = fork();
        if (m_pid == 0) {
            close(master);
            setsid();
            ioctl(slave, TIOCSCTTY, 0);
            dup2(slave, 0);
            dup2(how.stdout_apart ? out[1] : slave, 1);
            dup2(how.stderr_apart ? error_pipe[1] : how.stdout_apart ? out[1] : slave, 2);
            if (slave > 2) close(slave);
            for (int fd : {error_pipe[0], error_pipe[1], out[0], out[1]}) {
                if (fd > 2) close(fd);
            }
            exec_child(how);
        }
        m_input = master;
        m_output = master;
        m_terminal = slave;  // kept so the mode can be read after the child is gone
        if (how.stdout_apart) {
            close(out[1]);
            m_output = out[0];
            m_screen = master;  // drained, so that the terminal never fills up
            fcntl(m_screen, F_SETFL, O_NONBLOCK);
        }
        m_output_on_terminal = !how.stdout_apart;
    } else {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe");
        m_pid = fork();
        if (m_pid == 0) {
            setpgid(0, 0);
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(how.stderr_apart ? error_pipe[1] : out[1], 2);
            for (int fd : {in[0], in[1], out[0], out[1], error_pipe[0], error_pipe[1]}) {
                if (fd > 2) close(fd);
            }
            exec_child(how);
        }
        close(in[0]);
        close(out[1]);
        m_input = in[1];
        m_output = out[0];
        fcntl(m_input, F_SETFD, FD_CLOEXEC);
        fcntl(m_output, F_SETFD, FD_CLOEXEC);
    }
    if (how.stderr_apart) {
        close(error_pipe[1]);
        m_error = error_pipe[0];
        fcntl(m_error, F_SETFL, O_NONBLOCK);
        fcntl(m_error, F_SETFD, FD_CLOEXEC);
    }
    fcntl(m_output, F_SETFL, O_NONBLOCK);
    fcntl(m_output, F_SETFD, FD_CLOEXEC);
}

child_process::~child_process() {
    if (!m_status && m_pid > 0) {
        kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
    for (int fd : {m_input, m_output, m_error, m_terminal}) {
        if (fd >= 0 && !(fd == m_output && m_output == m_input)) close(fd);
    }
}

void child_process::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(m_input, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return;
        }
        done += static_cast<size_t>(n);
    }
}

std::size_t child_process::offer(const std::string& bytes) {
    const int flags = fcntl(m_input, F_GETFL);
    fcntl(m_input, F_SETFL, flags | O_NONBLOCK);
    const ssize_t n = ::write(m_input, bytes.data(), bytes.size());
    fcntl(m_input, F_SETFL, flags);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool child_process::offer_until_refused(const std::string& piece, std::size_t& taken,
                                        std::chrono::milliseconds quiet, std::chrono::seconds guard,
                                        const std::function<void()>& each) {
    auto refused_since = std::chrono::steady_clock::now();
    return eventually([&] {
        if (each) each();
        const std::size_t n = offer(piece);
        taken += n;
        const auto now = std::chrono::steady_clock::now();
        if (n > 0) refused_since = now;
        return now - refused_since >= quiet;
    }, guard);
}

void child_process::close_input() {
    if (!m_terminal_mode && m_input >= 0) {
        close(m_input);
        m_input = -1;
    }
}

void child_process::close_output() {
    if (m_output >= 0 && m_output != m_input) {
        read_available(m_output, m_raw_output);
        close(m_output);
        m_output = -1;
    }
}

void child_process::signal(int number) {
    kill(m_pid, number);
}

void child_process::pump(std::chrono::milliseconds limit) {
    pollfd fds[2] = {{m_output, POLLIN, 0}, {m_error, POLLIN, 0}};
    poll(fds, m_error >= 0 ? 2 : 1, static_cast<int>(limit.count()));
    read_available(m_output, m_raw_output);
    if (m_error >= 0) read_available(m_error, m_raw_errors);
    if (m_screen >= 0) read_available(m_screen, m_raw_screen);
}

bool child_process::expect(const std::string& text, std::chrono::milliseconds limit, std::size_t from) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    auto seen = [&] {
        std::string out = output();
        return out.size() >= from && out.find(text, from) != std::string::npos;
    };
    for (;;) {
        if (seen()) return true;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        pump(std::min(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now), 50ms));
        if (!m_status) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) m_status = status;
        } else if (!seen()) {
            pump(10ms);
            return seen();
        }
    }
}

std::optional<int> child_process::wait(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!m_status) {
        int status = 0;
        pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_status = status;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        pump(20ms);
    }
    pump(0ms);
    return m_status;
}

std::optional<int> child_process::exit_code(std::chrono::milliseconds limit) {
    auto status = wait(limit);
    if (!status) return std::nullopt;
    if (WIFEXITED(*status)) return WEXITSTATUS(*status);
    return -1000 - WTERMSIG(*status);
}

std::string child_process::output() {
    read_available(m_output, m_raw_output);
    return m_output_on_terminal ? without_carriage_returns(m_raw_output) : m_raw_output;
}

std::string child_process::errors() {
    if (m_error >= 0) read_available(m_error, m_raw_errors);
    return m_raw_errors;
}

termios child_process::mode() const {
    termios t{};
    tcgetattr(m_terminal, &t);
    return t;
}

bool same_mode(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

std::string escaped(const std::string& bytes) {
    std::string out;
    char hex[8];
    for (unsigned char c : bytes) {
        if (c == '\n') {
            out += "\\n\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

std::string run_command(const std::vector<std::string>& argv, const std::vector<std::string>& env, int* status) {
    launch how{.argv = argv, .env = env, .terminal = false};
    child_process child(how);
    child.close_input();
    auto code = child.exit_code(60s);
    if (status) *status = code.value_or(-1);
    return child.output();
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
    return count;
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

bool running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (pid <= 0 || !std::getline(stat, line)) return false;
    const auto end_of_name = line.rfind(')');
    return end_of_name != std::string::npos && end_of_name + 2 < line.size() && line[end_of_name + 2] != 'Z';
}

pid_t pid_written_to(const std::string& path, std::chrono::seconds guard) {
    pid_t pid = 0;
    eventually(
        [&] {
            std::ifstream file(path);
            long number = 0;
            pid = file >> number ? static_cast<pid_t>(number) : 0;
            return running(pid);
        },
        guard);
    return running(pid) ? pid : 0;
}

std::size_t resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return static_cast<std::size_t>(std::strtoull(line.c_str() + 6, nullptr, 10));
    }
    return 0;
}

}  // namespace test_support
