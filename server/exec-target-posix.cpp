// The exec target on POSIX systems: `/bin/sh -c COMMAND` with the UART on
// its standard input and output, read through non-blocking pipes.
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <asio/posix/stream_descriptor.hpp>
#include <asio/signal_set.hpp>
#include <asio/write.hpp>

#include "server/stream-target.h"
#include "server/target-kinds.h"

namespace {

class EXEC_TARGET : public STREAM_TARGET {
public:
    EXEC_TARGET(std::string command, asio::io_context& io)
        : m_command(std::move(command)), m_stdin(io), m_stdout(io) {}
    ~EXEC_TARGET() override { stop(); }

    std::string describe() const override { return "exec: " + m_command; }

    bool start(UART& uart, std::string& error) override {
        stop();
        int to_child[2];
        int from_child[2];
        if (::pipe2(to_child, O_CLOEXEC) != 0) {
            error = std::string("cannot make a pipe: ") + std::strerror(errno);
            return false;
        }
        if (::pipe2(from_child, O_CLOEXEC) != 0) {
            error = std::string("cannot make a pipe: ") + std::strerror(errno);
            ::close(to_child[0]);
            ::close(to_child[1]);
            return false;
        }
        const pid_t pid = ::fork();
        if (pid < 0) {
            error = std::string("cannot start the command: ") + std::strerror(errno);
            for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]})
                ::close(fd);
            return false;
        }
        if (pid == 0)
            run_child(to_child[0], from_child[1]);
        ::close(to_child[0]);
        ::close(from_child[1]);
        m_pid = pid;
        m_stdin.assign(to_child[1]);
        m_stdout.assign(from_child[0]);
        m_stdin.non_blocking(true);
        m_stdout.non_blocking(true);
        begin_stream(uart);
        return true;
    }

    void stop() override {
        end_stream();
        std::error_code ignored;
        m_stdin.close(ignored);
        m_stdout.close(ignored);
        if (m_pid > 0) {
            // The whole process group: the shell and whatever it started.
            ::kill(-m_pid, SIGTERM);
            m_pid = 0;
        }
    }

protected:
    void async_read(asio::mutable_buffer buffer, io_handler handler) override {
        m_stdout.async_read_some(buffer, std::move(handler));
    }
    void async_write(asio::const_buffer buffer, io_handler handler) override {
        asio::async_write(m_stdin, buffer, std::move(handler));
    }

private:
    /// In the child: only async-signal-safe calls until exec.
    [[noreturn]] void run_child(int input, int output) {
        ::setpgid(0, 0);
#ifdef __linux__
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
        ::signal(SIGPIPE, SIG_DFL);
        ::dup2(input, STDIN_FILENO);
        ::dup2(output, STDOUT_FILENO);
        ::execl("/bin/sh", "sh", "-c", m_command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }

    std::string m_command;
    asio::posix::stream_descriptor m_stdin;
    asio::posix::stream_descriptor m_stdout;
    pid_t m_pid = 0;
};

void reap(asio::signal_set& signals) {
    signals.async_wait([&signals](const std::error_code& error, int) {
        if (error)
            return;
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        reap(signals);
    });
}

}  // namespace

std::unique_ptr<TARGET> make_exec_target(const TargetSettings& settings, asio::io_context& io) {
    return std::make_unique<EXEC_TARGET>(settings.text("command"), io);
}

void watch_exec_children(asio::io_context& io) {
    // Never destroyed: a static owner would destroy it at exit, after the
    // io_context (and the signal service it points into) is long gone.
    static asio::signal_set* signals = nullptr;
    signals = new asio::signal_set(io, SIGCHLD);
    reap(*signals);
}
