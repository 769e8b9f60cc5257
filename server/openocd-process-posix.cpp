// OpenOCD as a child on POSIX: a process group of its own (SIGKILL when the
// server dies, on Linux), its output appended to the log file.
#include "server/openocd-process.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "server/process-group.h"

struct OPENOCD_PROCESS::HANDLES {
    /// Set by the reaper; shared so that a call after this process is gone harms nothing.
    std::shared_ptr<std::string> ended = std::make_shared<std::string>();
};

OPENOCD_PROCESS::OPENOCD_PROCESS() : m_handles(std::make_unique<HANDLES>()) {}

OPENOCD_PROCESS::~OPENOCD_PROCESS() {
    kill();
}

bool OPENOCD_PROCESS::start(const std::vector<std::string>& argv, const std::string& log_path, std::string& error) {
    const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (log < 0) {
        error = "cannot open " + log_path + ": " + std::strerror(errno);
        return false;
    }
    const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    CHILD_START how;
    how.argv = argv;
    how.stdin_fd = nothing;
    how.stdout_fd = log;
    how.stderr_fd = log;
    how.death_signal = SIGKILL;
    const pid_t pid = start_child_group(
        how, [ended = m_handles->ended](int status) { *ended = exit_text(status); }, error);
    ::close(log);
    if (nothing >= 0)
        ::close(nothing);
    if (pid < 0)
        return false;
    m_pid = pid;
    return true;
}

bool OPENOCD_PROCESS::running() {
    if (m_pid <= 0)
        return false;
    reap_children();  // also where no SIGCHLD watch runs
    if (child_running(static_cast<pid_t>(m_pid)))
        return true;
    // A program that cannot be run ends with 127 before it is OpenOCD.
    m_ended = *m_handles->ended == "exited with status 127" ? "could not be run (not found on PATH?)"
                                                            : *m_handles->ended;
    return false;
}

void OPENOCD_PROCESS::terminate() {
    signal_child_group(static_cast<pid_t>(m_pid), SIGTERM);
}

void OPENOCD_PROCESS::kill() {
    const auto pid = static_cast<pid_t>(m_pid);
    if (!child_running(pid))
        return;
    // It gets a moment to let go of its adapter, then SIGKILL.
    signal_child_group(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (child_running(pid) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        reap_children();
    }
    signal_child_group(pid, SIGKILL);
    for (int i = 0; i < 100 && child_running(pid); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        reap_children();
    }
}

std::string openocd_log_path(std::size_t index) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code code;
    std::filesystem::path folder =
        runtime != nullptr && *runtime == '/' ? std::filesystem::path(runtime) : std::filesystem::temp_directory_path(code);
    if (code)
        folder = "/tmp";
    return (folder / ("jtag-server-" + std::to_string(::getpid()) + "-openocd-" + std::to_string(index + 1) + ".log"))
        .string();
}
