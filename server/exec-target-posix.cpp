// The exec target on POSIX systems: `/bin/sh -c COMMAND` with the UART on
// its standard input and output, read through non-blocking pipes. Each
// command runs in a process group of its own, which a stop ends: SIGTERM,
// and SIGKILL for what is still there after a grace period.
#include <chrono>
#include <csignal>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <asio/posix/stream_descriptor.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include "server/stream-target.h"
#include "server/target-kinds.h"

namespace {

/// How long a stopped command has to end on SIGTERM before SIGKILL.
constexpr auto k_stop_grace = std::chrono::seconds(2);

class EXEC_TARGET;

/// A command the server started, from its start until it is reaped. Its
/// process id (and group) stays this command's while it is not reaped, so
/// it is signalled only as long as it is listed here.
struct CHILD {
    EXEC_TARGET* owner = nullptr;  ///< null once stopped
    std::unique_ptr<asio::steady_timer> grace;
};

/// Never destroyed, as the reaper's signal set: it may hold timers of an
/// io_context that is gone at exit.
std::map<pid_t, CHILD>& children() {
    static auto* all = new std::map<pid_t, CHILD>;
    return *all;
}

/// The descriptors a child may have: its standard ones and the server's
/// (which it closes before exec).
int descriptor_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 1 << 20)
        return 1 << 16;
    return static_cast<int>(limit.rlim_cur);
}

class EXEC_TARGET : public STREAM_TARGET {
public:
    EXEC_TARGET(std::string command, asio::io_context& io)
        : m_command(std::move(command)), m_io(io), m_stdin(io), m_stdout(io) {}
    ~EXEC_TARGET() override { stop(); }

    std::string describe() const override { return "exec: " + m_command; }
    bool ended() const override { return m_ended; }

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
        // Until its exec the child has the server's signal handlers, which
        // would pass a SIGTERM meant for it on to the server (they write
        // into a pipe the child shares). It starts with every signal
        // blocked and unblocks them once they have their default actions.
        const pid_t server = ::getpid();
        const int limit = descriptor_limit();
        sigset_t all;
        sigset_t mask;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &mask);
        const pid_t pid = ::fork();
        if (pid == 0)
            run_child(to_child[0], from_child[1], mask, server, limit);
        const int fork_error = errno;
        ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
        if (pid < 0) {
            error = std::string("cannot start the command: ") + std::strerror(fork_error);
            for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]})
                ::close(fd);
            return false;
        }
        // The child does the same; whichever comes first, the group exists
        // before a stop can signal it. (After the child's exec this fails
        // harmlessly: the child has done it.)
        ::setpgid(pid, pid);
        ::close(to_child[0]);
        ::close(from_child[1]);
        m_pid = pid;
        m_ended = false;
        children()[pid].owner = this;
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
        m_ended = false;
        if (m_pid <= 0)
            return;
        const pid_t pid = m_pid;
        m_pid = 0;
        // The whole process group: the shell and whatever it started. The
        // child is not reaped yet (the reaper would have forgotten it), so
        // the group is still its own.
        ::kill(-pid, SIGTERM);
        const auto found = children().find(pid);
        if (found == children().end())
            return;
        CHILD& child = found->second;
        child.owner = nullptr;
        child.grace = std::make_unique<asio::steady_timer>(m_io, k_stop_grace);
        child.grace->async_wait([pid](const std::error_code& error) {
            const auto still = children().find(pid);
            if (!error && still != children().end() && still->second.owner == nullptr)
                ::kill(-pid, SIGKILL);
        });
    }

    /// The reaper's news: the command has ended and its process is gone.
    void reaped() {
        m_pid = 0;
        m_ended = true;
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
    [[noreturn]] void run_child(int input, int output, const sigset_t& mask, pid_t server, int limit) {
        struct sigaction by_default {};
        by_default.sa_handler = SIG_DFL;
        for (int number = 1; number < NSIG; ++number)
            if (number != SIGKILL && number != SIGSTOP)
                ::sigaction(number, &by_default, nullptr);
        ::setpgid(0, 0);
#ifdef __linux__
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
        if (::getppid() != server)
            ::_exit(127);  // the server is gone already
        ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
        ::dup2(input, STDIN_FILENO);
        ::dup2(output, STDOUT_FILENO);
        // None of the server's sockets, nor its other descriptors: a client
        // the server drops must see the end, and a restarted server must
        // find its port free.
#ifdef __linux__
        if (::close_range(3, ~0U, 0) != 0)
#endif
            for (int fd = 3; fd < limit; ++fd)
                ::close(fd);
        ::execl("/bin/sh", "sh", "-c", m_command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }

    std::string m_command;
    asio::io_context& m_io;
    asio::posix::stream_descriptor m_stdin;
    asio::posix::stream_descriptor m_stdout;
    pid_t m_pid = 0;
    bool m_ended = false;  ///< the command has ended by itself
};

/// Reaps every ended child and forgets it: its process id may be reused.
void reap_children() {
    for (pid_t pid; (pid = ::waitpid(-1, nullptr, WNOHANG)) > 0;) {
        const auto found = children().find(pid);
        if (found == children().end())
            continue;
        if (found->second.owner != nullptr)
            found->second.owner->reaped();
        children().erase(found);
    }
}

void reap(asio::signal_set& signals) {
    signals.async_wait([&signals](const std::error_code& error, int) {
        if (error)
            return;
        reap_children();
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

void end_exec_children() {
    // The targets are stopped: their commands have had SIGTERM. They get
    // the grace period together, then SIGKILL, and are reaped.
    const auto deadline = std::chrono::steady_clock::now() + k_stop_grace;
    for (reap_children(); !children().empty() && std::chrono::steady_clock::now() < deadline; reap_children())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (const auto& [pid, child] : children())
        ::kill(-pid, SIGKILL);
    const auto killed = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (reap_children(); !children().empty() && std::chrono::steady_clock::now() < killed; reap_children())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    children().clear();
}
