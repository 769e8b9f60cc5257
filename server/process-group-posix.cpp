// The server's child processes on POSIX: started by platform/spawn in
// process groups of their own, listed until they are reaped, reaped on
// SIGCHLD, and ended with a grace period.
#include "server/process-group.h"

#include <chrono>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

namespace {

/// How long an ended child has after SIGTERM before SIGKILL.
constexpr auto k_stop_grace = std::chrono::seconds(2);

struct CHILD {
    std::function<void(int)> reaped;  ///< empty once the child is being ended
    /// Being ended: left unreaped until its group has had SIGKILL, which
    /// keeps its process id, and so its group id, from being anybody else's.
    bool ending = false;
    std::unique_ptr<asio::steady_timer> grace;
};

/// Never destroyed, as the reaper's signal set: it may hold timers of an
/// io_context that is gone at exit.
std::map<pid_t, CHILD>& children() {
    static auto* all = new std::map<pid_t, CHILD>;
    return *all;
}

void list_child(pid_t pid, std::function<void(int)> reaped) {
    CHILD& child = children()[pid];
    child.reaped = std::move(reaped);
    child.ending = false;
    child.grace.reset();
}

/// Whether a listed child has ended, without reaping it.
bool has_ended(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == pid;
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
    const pid_t pid = spawn_child(how, error);
    if (pid > 0)
        list_child(pid, std::move(reaped));
    return pid;
}

bool start_command_group(const std::string& command, SPAWNED& child, std::function<void(int status)> reaped,
                         std::string& error) {
    if (!spawn_command(command, child, error))
        return false;
    list_child(child.pid, std::move(reaped));
    return true;
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
    if (found == children().end() || found->second.ending)
        return;
    ::kill(-pid, SIGTERM);
    CHILD& child = found->second;
    child.reaped = nullptr;
    child.ending = true;
    child.grace = std::make_unique<asio::steady_timer>(io, k_stop_grace);
    child.grace->async_wait([pid](const std::error_code& error) {
        const auto still = children().find(pid);
        if (error || still == children().end())
            return;
        // Still unreaped, so the group is this child's: what is left of
        // it (what it started, what ignores SIGTERM) ends now.
        ::kill(-pid, SIGKILL);
        still->second.ending = false;  // reaped as any other from here on
        reap_children();
    });
}

void reap_children() {
    std::vector<std::pair<std::function<void(int)>, int>> calls;
    for (auto it = children().begin(); it != children().end();) {
        if (it->second.ending) {
            ++it;  // reaped once its grace period is over
            continue;
        }
        int status = 0;
        const pid_t done = ::waitpid(it->first, &status, WNOHANG);
        if (done == 0) {
            ++it;
            continue;
        }
        // Ended, or reaped by somebody else: either way no longer ours.
        if (done == it->first && it->second.reaped)
            calls.emplace_back(std::move(it->second.reaped), status);
        it = children().erase(it);
    }
    for (auto& [reaped, status] : calls)
        reaped(status);
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
        child.ending = true;  // none is reaped before its group has had SIGKILL
        child.grace.reset();
        ::kill(-pid, SIGTERM);
    }
    const auto deadline = std::chrono::steady_clock::now() + k_stop_grace;
    auto all_ended = [] {
        for (const auto& [pid, child] : children())
            if (!has_ended(pid))
                return false;
        return true;
    };
    while (!all_ended() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (auto& [pid, child] : children()) {
        ::kill(-pid, SIGKILL);
        child.ending = false;
    }
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
