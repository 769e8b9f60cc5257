// The OpenOCD that jtag-server starts for a cable whose board file names
// OpenOCD's configuration: its command line, the child process (its own
// process group on POSIX, a job object on Windows, so that it never outlives
// the server), its bounded log, and the supervisor that restarts it with a
// growing pause when it ends or its cable finds the adapter lost.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "server/board.h"

/// OpenOCD's arguments (the program first): the configuration files and the
/// board file's commands, then the ports (TCL on loopback at `tcl_port`,
/// telnet and GDB disabled unless asked for), then `init`. The ports come
/// after the files so that a configuration's own `tcl_port` cannot win.
std::vector<std::string> openocd_command_line(const OpenOcdSettings& settings, std::uint16_t tcl_port);

/// Whether an error of a cable through OpenOCD means that OpenOCD has lost
/// its adapter (or is gone, or hangs), so that only a new OpenOCD helps:
/// OpenOCD 0.12 goes on answering with "jtag execute failed" for ever.
bool openocd_lost_adapter(std::string_view error);

/// The pause before OpenOCD is started again: 0.5 s, doubling up to 30 s,
/// and 0.5 s again once an OpenOCD had stayed up a while.
class RESTART_BACKOFF {
public:
    static constexpr std::chrono::milliseconds k_first{500};
    static constexpr std::chrono::milliseconds k_longest{30000};
    static constexpr std::chrono::seconds k_stayed_up{60};

    /// OpenOCD ended after running for `ran`: how long to wait before the next.
    std::chrono::milliseconds next(std::chrono::steady_clock::duration ran);

private:
    std::chrono::milliseconds m_pause{0};
};

/// The last lines with "Error" in them that OpenOCD wrote, fed with its
/// output in pieces of any size.
class ERROR_LINES {
public:
    static constexpr std::size_t k_kept = 3;
    static constexpr std::size_t k_longest_line = 512;

    void feed(std::string_view output);
    const std::deque<std::string>& lines() const { return m_lines; }
    void clear() {
        m_lines.clear();
        m_partial.clear();
    }

private:
    void line_done();

    std::deque<std::string> m_lines;
    std::string m_partial;
};

/// Keeps a log file that another process appends to within `limit` bytes:
/// once it is larger, its text moves to PATH.1 (replacing an older one) and
/// the file is cut to nothing, where the writer goes on (it appends).
/// True when it was cut; `error` says why it could not be.
bool bound_log_file(const std::string& path, std::uintmax_t limit, std::string& error);

/// One OpenOCD process, its standard output and error appended to a file.
/// Platform code: openocd-process-posix.cpp, openocd-process-win32.cpp.
class OPENOCD_PROCESS {
public:
    OPENOCD_PROCESS();
    ~OPENOCD_PROCESS();
    OPENOCD_PROCESS(const OPENOCD_PROCESS&) = delete;
    OPENOCD_PROCESS& operator=(const OPENOCD_PROCESS&) = delete;

    bool start(const std::vector<std::string>& argv, const std::string& log_path, std::string& error);
    /// Whether it still runs; once it does not, `how_it_ended` says why.
    bool running();
    std::string how_it_ended() const { return m_ended; }
    long pid() const { return m_pid; }
    /// Asks it to end (SIGTERM to its group); after `kill` nothing of it is left.
    void terminate();
    void kill();

private:
    struct HANDLES;
    std::unique_ptr<HANDLES> m_handles;
    long m_pid = 0;
    std::string m_ended;
};

/// Starts OpenOCD, waits for its TCL port, and starts it again with a
/// growing pause when it ends or is found to have lost its adapter.
/// Everything runs on the io_context; `log` gets the lines for the
/// server's standard error.
class OPENOCD_SUPERVISOR {
public:
    using LOG = std::function<void(const std::string& message)>;

    OPENOCD_SUPERVISOR(OpenOcdSettings settings, std::string log_path, asio::io_context& io, LOG log);
    ~OPENOCD_SUPERVISOR();
    OPENOCD_SUPERVISOR(const OPENOCD_SUPERVISOR&) = delete;
    OPENOCD_SUPERVISOR& operator=(const OPENOCD_SUPERVISOR&) = delete;

    void start();
    /// Ends OpenOCD and starts none again.
    void stop();
    bool ready() const { return m_state == STATE::ready; }
    /// Runs `done` once OpenOCD accepts on its TCL port (replacing an
    /// earlier wish); at once, posted, when it does now.
    void when_ready(std::function<void()> done);
    /// The cable found the adapter lost: OpenOCD is ended and started anew.
    void restart(const std::string& reason);
    /// A cable's scans failed with `problem`: when it, or what OpenOCD wrote
    /// meanwhile, tells that OpenOCD lost its adapter, it is restarted.
    void restart_if_lost(const std::string& problem);
    std::uint16_t tcl_port() const { return m_tcl_port; }
    const std::string& log_path() const { return m_log_path; }
    long pid() const { return m_process ? m_process->pid() : 0; }
    /// The last error lines OpenOCD wrote.
    std::vector<std::string> errors() const;

    /// Called when OpenOCD ended or could not start, with the problem.
    std::function<void(const std::string& problem)> on_ended;
    /// Called when OpenOCD wrote new error lines.
    std::function<void()> on_errors;

    /// How often the process and its log are looked at, and how long a
    /// start may take until the TCL port accepts.
    static constexpr std::chrono::milliseconds k_tick{200};
    static constexpr std::chrono::seconds k_start_guard{20};
    static constexpr std::uintmax_t k_log_limit = 1024 * 1024;

private:
    enum class STATE { idle, starting, ready, ending, pausing, stopped };

    void launch();
    void tick();
    void read_log();
    void probe();
    void ended(const std::string& problem);
    void launch_after(std::chrono::milliseconds pause);

    OpenOcdSettings m_settings;
    std::string m_log_path;
    asio::io_context& m_io;
    LOG m_log;
    STATE m_state = STATE::idle;
    std::unique_ptr<OPENOCD_PROCESS> m_process;
    std::uint16_t m_tcl_port = 0;
    asio::steady_timer m_ticker;
    asio::steady_timer m_pause;
    asio::ip::tcp::socket m_probe;
    bool m_probing = false;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    std::function<void()> m_ready;
    std::chrono::steady_clock::time_point m_started;
    std::chrono::steady_clock::time_point m_ended_asked;
    std::string m_restart_reason;
    RESTART_BACKOFF m_backoff;
    ERROR_LINES m_errors;
    std::uintmax_t m_log_read = 0;
};

/// Where the server keeps the log of the OpenOCD of cable number `index`:
/// a file of this server process in the runtime or temporary folder.
std::string openocd_log_path(std::size_t index);
