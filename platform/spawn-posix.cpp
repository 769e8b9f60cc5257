// Starting and ending a command in a process group of its own.
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
[[noreturn]] void run_child(const char* command, int input, int output, const sigset_t& mask, pid_t parent,
                            int limit) {
    struct sigaction by_default {};
    by_default.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number)
        if (number != SIGKILL && number != SIGSTOP)
            ::sigaction(number, &by_default, nullptr);
    ::setpgid(0, 0);
#ifdef __linux__
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
    if (::getppid() != parent)
        ::_exit(127);  // the parent is gone already
    ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    ::dup2(input, STDIN_FILENO);
    ::dup2(output, STDOUT_FILENO);
    // None of the caller's sockets, nor its other descriptors: a client it
    // drops must see the end, and a restarted caller must find its port free.
#ifdef __linux__
    if (::close_range(3, ~0U, 0) != 0)
#endif
        for (int fd = 3; fd < limit; ++fd)
            ::close(fd);
    ::execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
    ::_exit(127);
}

}  // namespace

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
        run_child(command.c_str(), to_child[0], from_child[1], mask, parent, limit);
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
    child.pid = pid;
    child.to_child = to_child[1];
    child.from_child = from_child[0];
    return true;
}

void end_spawned(pid_t pid, std::chrono::milliseconds grace) {
    if (pid <= 0)
        return;
    // Not reaped until the end, so the group stays this command's: what it
    // started and what ignores SIGTERM gets SIGKILL once the shell has
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
