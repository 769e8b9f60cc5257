// The exec target on POSIX systems: `/bin/sh -c COMMAND` with the UART on
// its standard input and output, read through non-blocking pipes. Each
// command runs in a process group of its own, which a stop ends: SIGTERM,
// and SIGKILL for what is still there after a grace period.
#include <chrono>
#include <csignal>
#include <map>
#include <memory>
#include <thread>

#include <sys/wait.h>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include "platform/spawn.h"
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

class EXEC_TARGET : public STREAM_TARGET {
public:
    EXEC_TARGET(std::string command, asio::io_context& io)
        : m_command(std::move(command)), m_io(io), m_stdin(io), m_stdout(io) {}
    ~EXEC_TARGET() override { stop(); }

    std::string describe() const override { return "exec: " + m_command; }
    bool ended() const override { return m_ended; }

    bool start(UART& uart, std::string& error) override {
        stop();
        SPAWNED child;
        if (!spawn_command(m_command, child, error))
            return false;
        const pid_t pid = child.pid;
        m_pid = pid;
        m_ended = false;
        children()[pid].owner = this;
        m_stdin.assign(child.to_child);
        m_stdout.assign(child.from_child);
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
