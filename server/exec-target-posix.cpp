// The exec target on POSIX systems: `/bin/sh -c COMMAND` with the UART on
// its standard input and output, read through non-blocking pipes. Each
// command runs in a process group of its own, which a stop ends: SIGTERM,
// and SIGKILL for what is still there after a grace period.
#include <memory>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/write.hpp>

#include "server/process-group.h"
#include "server/stream-target.h"
#include "server/target-kinds.h"

namespace {

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
        if (!start_command_group(m_command, child, [this](int) { reaped(); }, error))
            return false;
        m_pid = child.pid;
        m_ended = false;
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
        // The whole process group: the shell and whatever it started.
        end_child_group(pid, m_io);
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

}  // namespace

std::unique_ptr<TARGET> make_exec_target(const TargetSettings& settings, asio::io_context& io) {
    return std::make_unique<EXEC_TARGET>(settings.text("command"), io);
}

void watch_exec_children(asio::io_context& io) {
    watch_children(io);
}

void end_exec_children() {
    // The targets are stopped: their commands have had SIGTERM. They get
    // the grace period together, then SIGKILL, and are reaped.
    end_all_children();
}
