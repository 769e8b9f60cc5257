// The OpenOCD supervisor and the parts of it that need no process: the
// command line, the restart pause, what tells a lost adapter, and the log's
// bound and error lines.
#include "server/openocd-process.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <asio/post.hpp>

std::vector<std::string> openocd_command_line(const OpenOcdSettings& settings, std::uint16_t tcl_port) {
    std::vector<std::string> argv{settings.executable};
    for (const std::string& file : settings.config_files) {
        argv.push_back("-f");
        argv.push_back(file);
    }
    auto command = [&argv](const std::string& text) {
        argv.push_back("-c");
        argv.push_back(text);
    };
    for (const std::string& text : settings.commands)
        command(text);
    auto port = [](std::uint16_t number) { return number == 0 ? std::string("disabled") : std::to_string(number); };
    command("bindto 127.0.0.1");
    command("tcl_port " + std::to_string(tcl_port));
    command("telnet_port " + port(settings.telnet_port));
    command("gdb_port " + port(settings.gdb_port));
    command("init");
    return argv;
}

bool openocd_lost_adapter(std::string_view error) {
    // OpenOCD's own words once its adapter is gone, and our adapter's when
    // the TCL connection drops, is refused or stalls.
    static const std::string_view signs[] = {
        "jtag execute failed",      "JTAG scan chain interrogation failed", "Error on socket",
        "remote_bitbang",           "Connection refused",
        "Connection reset",         "Broken pipe",
        "the adapter closed the connection", "no answer within",
        "no answer in time",        "cannot connect",
    };
    for (std::string_view sign : signs)
        if (error.find(sign) != std::string_view::npos)
            return true;
    return false;
}

std::chrono::milliseconds RESTART_BACKOFF::next(std::chrono::steady_clock::duration ran) {
    if (ran >= k_stayed_up || m_pause.count() == 0)
        m_pause = k_first;
    else
        m_pause = std::min(k_longest, m_pause * 2);
    return m_pause;
}

void ERROR_LINES::feed(std::string_view output) {
    for (char c : output) {
        if (c == '\n' || c == '\r') {
            line_done();
            continue;
        }
        // A line without end is cut; the rest of it is dropped.
        if (m_partial.size() < k_longest_line)
            m_partial.push_back(c);
    }
}

void ERROR_LINES::line_done() {
    if (m_partial.find("Error") != std::string::npos) {
        m_lines.push_back(std::move(m_partial));
        if (m_lines.size() > k_kept)
            m_lines.pop_front();
    }
    m_partial.clear();
}

bool bound_log_file(const std::string& path, std::uintmax_t limit, std::string& error) {
    std::error_code code;
    const std::uintmax_t size = std::filesystem::file_size(path, code);
    if (code || size <= limit)
        return false;
    const std::string older = path + ".1";
    std::filesystem::copy_file(path, older, std::filesystem::copy_options::overwrite_existing, code);
    if (code) {
        error = "cannot keep " + older + ": " + code.message();
        return false;
    }
    std::filesystem::resize_file(path, 0, code);
    if (code) {
        error = "cannot cut " + path + ": " + code.message();
        return false;
    }
    return true;
}

OPENOCD_SUPERVISOR::OPENOCD_SUPERVISOR(OpenOcdSettings settings, std::string log_path, asio::io_context& io, LOG log)
    : m_settings(std::move(settings)), m_log_path(std::move(log_path)), m_io(io), m_log(std::move(log)),
      m_ticker(io), m_pause(io), m_probe(io) {}

OPENOCD_SUPERVISOR::~OPENOCD_SUPERVISOR() {
    stop();
    *m_alive = false;
}

void OPENOCD_SUPERVISOR::start() {
    if (m_state != STATE::idle)
        return;
    launch();
    tick();
}

void OPENOCD_SUPERVISOR::stop() {
    if (m_state == STATE::stopped)
        return;
    m_state = STATE::stopped;
    m_ticker.cancel();
    m_pause.cancel();
    std::error_code ignored;
    m_probe.close(ignored);
    m_ready = nullptr;
    if (m_process)
        m_process->kill();
    m_process.reset();
    std::filesystem::remove(m_log_path, ignored);
    std::filesystem::remove(m_log_path + ".1", ignored);
}

void OPENOCD_SUPERVISOR::when_ready(std::function<void()> done) {
    if (m_state == STATE::stopped)
        return;
    if (m_state == STATE::ready) {
        asio::post(m_io, [alive = m_alive, done = std::move(done)] {
            if (*alive)
                done();
        });
        return;
    }
    m_ready = std::move(done);
}

void OPENOCD_SUPERVISOR::restart(const std::string& reason) {
    if (m_state != STATE::starting && m_state != STATE::ready)
        return;
    m_log("OpenOCD (pid " + std::to_string(pid()) + ") is ended and started again: " + reason);
    m_restart_reason = reason;
    m_state = STATE::ending;
    std::error_code ignored;
    m_probe.close(ignored);
    m_ended_asked = std::chrono::steady_clock::now();
    m_process->terminate();
}

void OPENOCD_SUPERVISOR::restart_if_lost(const std::string& problem) {
    // Its replies say little (an empty drscan reply); its log says why.
    read_log();
    if (openocd_lost_adapter(problem)) {
        restart(problem);
        return;
    }
    for (const std::string& line : m_errors.lines()) {
        if (openocd_lost_adapter(line)) {
            restart(problem + " (OpenOCD: " + line + ")");
            return;
        }
    }
}

std::vector<std::string> OPENOCD_SUPERVISOR::errors() const {
    return {m_errors.lines().begin(), m_errors.lines().end()};
}

void OPENOCD_SUPERVISOR::launch() {
    // A port free now, on loopback; one taken meanwhile makes OpenOCD end,
    // and the next start picks another.
    {
        asio::ip::tcp::acceptor picker(m_io);
        std::error_code code;
        picker.open(asio::ip::tcp::v4(), code);
        if (!code)
            picker.bind({asio::ip::address_v4::loopback(), 0}, code);
        m_tcl_port = code ? 0 : picker.local_endpoint(code).port();
    }
    std::error_code ignored;
    m_log_read = std::filesystem::exists(m_log_path, ignored) ? std::filesystem::file_size(m_log_path, ignored) : 0;
    m_errors.clear();
    m_process = std::make_unique<OPENOCD_PROCESS>();
    m_started = std::chrono::steady_clock::now();
    std::string error;
    if (m_tcl_port == 0) {
        ended("found no free loopback port for its TCL port");
        return;
    }
    if (!m_process->start(openocd_command_line(m_settings, m_tcl_port), m_log_path, error)) {
        ended("could not be started (" + m_settings.executable + "): " + error);
        return;
    }
    m_state = STATE::starting;
    m_log("OpenOCD started (pid " + std::to_string(pid()) + ", TCL port 127.0.0.1:" + std::to_string(m_tcl_port) +
          ", log " + m_log_path + ")");
}

void OPENOCD_SUPERVISOR::tick() {
    if (m_state == STATE::stopped)
        return;
    read_log();
    const auto now = std::chrono::steady_clock::now();
    const bool alive = m_process && m_process->running();
    switch (m_state) {
    case STATE::starting:
    case STATE::ready:
        if (!alive) {
            ended(m_process->how_it_ended());
        } else if (m_state == STATE::starting && now - m_started > k_start_guard) {
            m_process->kill();
            ended("did not open its TCL port within " + std::to_string(k_start_guard.count()) + " s");
        } else if (m_state == STATE::starting && !m_probing) {
            probe();
        }
        break;
    case STATE::ending:
        if (!alive) {
            const auto pause = m_backoff.next(now - m_started);
            m_log("OpenOCD (pid " + std::to_string(pid()) + ") " + m_process->how_it_ended() + "; starting it again in " +
                  std::to_string(pause.count()) + " ms");
            launch_after(pause);
        } else if (now - m_ended_asked > std::chrono::seconds(2)) {
            m_process->kill();
        }
        break;
    default:
        break;
    }
    m_ticker.expires_after(k_tick);
    m_ticker.async_wait([this, alive = m_alive](const std::error_code& error) {
        if (!error && *alive)
            tick();
    });
}

void OPENOCD_SUPERVISOR::read_log() {
    std::error_code code;
    const std::uintmax_t size = std::filesystem::file_size(m_log_path, code);
    if (code)
        return;
    if (size < m_log_read)
        m_log_read = 0;  // cut meanwhile
    // A flood of output is skimmed: its last 64 KiB are read.
    const std::uintmax_t window = 64 * 1024;
    if (size - m_log_read > window)
        m_log_read = size - window;
    const std::size_t before = m_errors.lines().size();
    const std::string last = before > 0 ? m_errors.lines().back() : std::string();
    if (size > m_log_read) {
        std::ifstream file(m_log_path, std::ios::binary);
        file.seekg(static_cast<std::streamoff>(m_log_read));
        std::string text(static_cast<std::size_t>(size - m_log_read), '\0');
        file.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<std::size_t>(file.gcount()));
        m_log_read += text.size();
        m_errors.feed(text);
    }
    std::string error;
    if (bound_log_file(m_log_path, k_log_limit, error))
        m_log_read = 0;
    else if (!error.empty())
        m_log(error);
    const bool news = m_errors.lines().size() != before || (before > 0 && m_errors.lines().back() != last);
    if (news && on_errors)
        on_errors();
}

void OPENOCD_SUPERVISOR::probe() {
    m_probing = true;
    const asio::ip::tcp::endpoint tcl(asio::ip::address_v4::loopback(), m_tcl_port);
    m_probe.async_connect(tcl, [this, alive = m_alive](const std::error_code& error) {
        if (!*alive)
            return;
        m_probing = false;
        std::error_code ignored;
        m_probe.close(ignored);
        if (error || m_state != STATE::starting)
            return;
        m_state = STATE::ready;
        if (m_ready) {
            auto ready = std::move(m_ready);
            m_ready = nullptr;
            ready();
        }
    });
}

void OPENOCD_SUPERVISOR::ended(const std::string& problem) {
    const auto pause = m_backoff.next(std::chrono::steady_clock::now() - m_started);
    const std::string said = "OpenOCD " + (pid() > 0 ? "(pid " + std::to_string(pid()) + ") " : std::string()) + problem;
    m_log(said + (m_errors.lines().empty() ? "" : " (its last error: " + m_errors.lines().back() + ")") +
          "; starting it again in " + std::to_string(pause.count()) + " ms");
    launch_after(pause);
    if (on_ended)
        on_ended("OpenOCD " + problem);
}

void OPENOCD_SUPERVISOR::launch_after(std::chrono::milliseconds pause) {
    m_state = STATE::pausing;
    std::error_code ignored;
    m_probe.close(ignored);
    m_pause.expires_after(pause);
    m_pause.async_wait([this, alive = m_alive](const std::error_code& error) {
        if (!error && *alive && m_state == STATE::pausing)
            launch();
    });
}
