// The server's child processes on POSIX: started in process groups of their
// own, with the signal handling and descriptors a child must not inherit,
// and reaped on SIGCHLD.
#include "server/process-group.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

namespace {

/// How long an ended child has after SIGTERM before SIGKILL.
constexpr auto k_stop_grace = std::chrono::seconds(2);

struct CHILD {
    std::function<void(int)> reaped;  ///< empty once the child is being ended
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

/// In the child: only async-signal-safe calls until exec.
[[noreturn]] void run_child(const CHILD_START& how, char* const* argv, const sigset_t& mask, pid_t server,
                            int limit) {
    struct sigaction by_default {};
    by_default.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number)
        if (number != SIGKILL && number != SIGSTOP)
            ::sigaction(number, &by_default, nullptr);
    ::setpgid(0, 0);
#ifdef __linux__
    ::prctl(PR_SET_PDEATHSIG, how.death_signal);
#endif
    if (::getppid() != server)
        ::_exit(127);  // the server is gone already
    ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    if (how.stdin_fd >= 0)
        ::dup2(how.stdin_fd, STDIN_FILENO);
    if (how.stdout_fd >= 0)
        ::dup2(how.stdout_fd, STDOUT_FILENO);
    if (how.stderr_fd >= 0)
        ::dup2(how.stderr_fd, STDERR_FILENO);
    // None of the server's sockets, nor its other descriptors: a client
    // the server drops must see the end, and a restarted server must
    // find its port free.
#ifdef __linux__
    if (::close_range(3, ~0U, 0) != 0)
#endif
        for (int fd = 3; fd < limit; ++fd)
            ::close(fd);
    ::execvp(argv[0], argv);
    ::_exit(127);
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

pid_t start_child_group(const CHILD_START& how, std::function<void(int status)> reaped, std::string& error) {
    if (how.argv.empty()) {
        error = "no program to start";
        return -1;
    }
    // Built before the fork: the child may only make async-signal-safe calls.
    std::vector<char*> argv;
    for (const std::string& arg : how.argv)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    // Until its exec the child has the server's signal handlers, which
    // would pass a SIGTERM meant for it on to the server (they write into a
    // pipe the child shares). It starts with every signal blocked and
    // unblocks them once they have their default actions.
    const pid_t server = ::getpid();
    const int limit = descriptor_limit();
    sigset_t all;
    sigset_t mask;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &mask);
    const pid_t pid = ::fork();
    if (pid == 0)
        run_child(how, argv.data(), mask, server, limit);
    const int fork_error = errno;
    ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    if (pid < 0) {
        error = std::strerror(fork_error);
        return -1;
    }
    // The child does the same; whichever comes first, the group exists
    // before a stop can signal it. (After the child's exec this fails
    // harmlessly: the child has done it.)
    ::setpgid(pid, pid);
    children()[pid].reaped = std::move(reaped);
    return pid;
}

bool child_running(pid_t pid) {
    return pid > 0 && children().count(pid) > 0;
}

void signal_child_group(pid_t pid, int signal) {
    // Listed means not reaped: the group is still the child's.
    if (child_running(pid))
        ::kill(-pid, signal);
}

void end_child_group(pid_t pid, asio::io_context& io) {
    const auto found = children().find(pid);
    if (found == children().end())
        return;
    ::kill(-pid, SIGTERM);
    CHILD& child = found->second;
    child.reaped = nullptr;
    child.grace = std::make_unique<asio::steady_timer>(io, k_stop_grace);
    child.grace->async_wait([pid](const std::error_code& error) {
        const auto still = children().find(pid);
        if (!error && still != children().end() && !still->second.reaped)
            ::kill(-pid, SIGKILL);
    });
}

void reap_children() {
    int status = 0;
    for (pid_t pid; (pid = ::waitpid(-1, &status, WNOHANG)) > 0;) {
        const auto found = children().find(pid);
        if (found == children().end())
            continue;
        auto reaped = std::move(found->second.reaped);
        children().erase(found);
        if (reaped)
            reaped(status);
    }
}

void watch_children(asio::io_context& io) {
    // Never destroyed: a static owner would destroy it at exit, after the
    // io_context (and the signal service it points into) is long gone.
    static asio::signal_set* signals = nullptr;
    signals = new asio::signal_set(io, SIGCHLD);
    reap(*signals);
}

void end_all_children() {
    for (auto& [pid, child] : children()) {
        child.reaped = nullptr;
        ::kill(-pid, SIGTERM);
    }
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

std::string exit_text(int status) {
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "was killed by signal " + std::to_string(WTERMSIG(status));
    return "ended";
}
