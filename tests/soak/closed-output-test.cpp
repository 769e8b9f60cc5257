// Standard output closed by its reader in the middle of a run (a pager that
// quits, a pipe into head): no crash, no busy loop, and the console mode
// restored when the run is stopped.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include "soak-support.h"

namespace soak {
namespace {

using namespace std::chrono_literals;

/// tolvan-terminal with its input (and errors) on a pseudo-terminal and its
/// output into a pipe whose read end the test holds.
class terminal_into_pipe {
public:
    terminal_into_pipe(const e2e::sim_server& server, const std::vector<std::string>& args) {
        winsize size{24, 80, 0, 0};
        if (openpty(&m_master, &m_slave, nullptr, nullptr, &size) != 0 || pipe(m_output) != 0) return;
        std::string address = server.address_setting();
        std::vector<std::string> argv{e2e::terminal_program()};
        argv.insert(argv.end(), args.begin(), args.end());
        m_pid = fork();
        if (m_pid == 0) {
            setsid();
            ioctl(m_slave, TIOCSCTTY, 0);
            dup2(m_slave, 0);
            dup2(m_output[1], 1);
            dup2(m_slave, 2);
            for (int fd : {m_master, m_slave, m_output[0], m_output[1]})
                if (fd > 2) close(fd);
            putenv(address.data());
            std::vector<char*> pointers;
            for (std::string& arg : argv) pointers.push_back(arg.data());
            pointers.push_back(nullptr);
            signal(SIGPIPE, SIG_DFL);  // as a shell would start it
            execv(pointers[0], pointers.data());
            _exit(127);
        }
        close(m_output[1]);
        m_output[1] = -1;
    }
    ~terminal_into_pipe() {
        if (m_pid > 0 && !m_status) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        for (int fd : {m_master, m_slave, m_output[0], m_output[1]})
            if (fd >= 0) close(fd);
    }

    pid_t pid() const { return m_pid; }
    /// Reads the output until `text` appears; false after the guard time.
    bool read_until(const std::string& text) {
        return eventually([&] {
            pollfd entry{m_output[0], POLLIN, 0};
            if (poll(&entry, 1, 100) > 0) {
                char buffer[4096];
                ssize_t n = read(m_output[0], buffer, sizeof buffer);
                if (n > 0) m_seen.append(buffer, static_cast<std::size_t>(n));
            }
            return m_seen.find(text) != std::string::npos;
        });
    }
    void close_output() {
        close(m_output[0]);
        m_output[0] = -1;
    }
    std::optional<int> exit_code() {
        bool ended = eventually([&] {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) m_status = status;
            return m_status.has_value();
        });
        if (!ended) return std::nullopt;
        return WIFEXITED(*m_status) ? WEXITSTATUS(*m_status) : -1000 - WTERMSIG(*m_status);
    }
    termios mode() const {
        termios t{};
        tcgetattr(m_slave, &t);
        return t;
    }

private:
    int m_master = -1, m_slave = -1;
    int m_output[2] = {-1, -1};
    pid_t m_pid = -1;
    std::optional<int> m_status;
    std::string m_seen;
};

TEST(ClosedOutput, ReaderGoneMidRunNoCrashNoBusyLoopModeRestored) {
    e2e::sim_server server(e2e::exec_board("exec yes 'endless output'"));
    const termios before = e2e::fresh_terminal_mode();
    terminal_into_pipe terminal(server, {});
    ASSERT_TRUE(terminal.read_until("endless output\nendless output\n"));
    terminal.close_output();

    // Every write now fails. The loop must pause between failed writes: over
    // two seconds a spinning loop would burn about two seconds of CPU.
    std::this_thread::sleep_for(500ms);
    long start = cpu_ticks(terminal.pid());
    std::this_thread::sleep_for(2s);
    long used = cpu_ticks(terminal.pid()) - start;
    EXPECT_LT(used, sysconf(_SC_CLK_TCK)) << "CPU ticks used in 2 s with no reader: " << used;

    kill(terminal.pid(), SIGINT);
    auto code = terminal.exit_code();
    ASSERT_TRUE(code.has_value()) << "the run did not end after SIGINT";
    EXPECT_EQ(*code, 0);
    EXPECT_TRUE(e2e::same_mode(terminal.mode(), before));
}

}  // namespace
}  // namespace soak
