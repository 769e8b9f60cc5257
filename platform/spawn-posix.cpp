// Starting and ending children in process groups of their own.
#include "platform/spawn.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {

/// The descriptors a child may have: its standard ones and the caller's
/// (which it closes before exec).
int descriptor_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 1 << 20)
        return 1 << 16;
    return static_cast<int>(limit.rlim_cur);
}

/// In the child: only async-signal-safe calls until exec.
[[noreturn]] void run_child(const CHILD_START& how, char* const* argv, const sigset_t& mask, pid_t parent,
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
    if (::getppid() != parent)
        ::_exit(127);  // the parent is gone already
    ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    // A given descriptor that is itself 0-2 (the caller had one of them
    // closed) is moved up first: it would keep its close-on-exec flag as
    // its own target, or be overwritten before it is used as another's.
    int from[3] = {how.stdin_fd, how.stdout_fd, how.stderr_fd};
    for (int& fd : from)
        if (fd >= 0 && fd <= STDERR_FILENO)
            fd = ::fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
    for (int target = STDIN_FILENO; target <= STDERR_FILENO; ++target)
        if (from[target] >= 0)
            ::dup2(from[target], target);
    // None of the caller's sockets, nor its other descriptors: a client it
    // drops must see the end, and a restarted caller must find its port free.
#ifdef __linux__
    if (::close_range(STDERR_FILENO + 1, ~0U, 0) != 0)
#endif
        for (int fd = STDERR_FILENO + 1; fd < limit; ++fd)
            ::close(fd);
    ::execvp(argv[0], argv);
    ::_exit(127);
}

}  // namespace

pid_t spawn_child(const CHILD_START& how, std::string& error) {
    if (how.argv.empty()) {
        error = "no program to start";
        return -1;
    }
    // Built before the fork: the child may only make async-signal-safe calls.
    std::vector<char*> argv;
    for (const std::string& arg : how.argv)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    // Until its exec the child has the caller's signal handlers, which
    // would pass a SIGTERM meant for it on to the caller (they may write
    // into a pipe the child shares). It starts with every signal blocked
    // and unblocks them once they have their default actions.
    const pid_t parent = ::getpid();
    const int limit = descriptor_limit();
    sigset_t all;
    sigset_t mask;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &mask);
    const pid_t pid = ::fork();
    if (pid == 0)
        run_child(how, argv.data(), mask, parent, limit);
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
    return pid;
}

bool spawn_command(const std::string& command, SPAWNED& child, std::string& error) {
    child = SPAWNED{};
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
    CHILD_START how;
    how.argv = {"/bin/sh", "-c", command};
    how.stdin_fd = to_child[0];
    how.stdout_fd = from_child[1];
    const pid_t pid = spawn_child(how, error);
    ::close(to_child[0]);
    ::close(from_child[1]);
    if (pid < 0) {
        error = "cannot start the command: " + error;
        ::close(to_child[1]);
        ::close(from_child[0]);
        return false;
    }
    child.pid = pid;
    child.to_child = to_child[1];
    child.from_child = from_child[0];
    return true;
}

void end_spawned(pid_t pid, std::chrono::milliseconds grace) {
    if (pid <= 0)
        return;
    // Not reaped until the end, so the group stays this child's: what it
    // started and what ignores SIGTERM gets SIGKILL once the child has
    // ended or the grace period is over.
    ::kill(-pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
            return;  // not ours to reap
        if (info.si_pid == pid || std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}
