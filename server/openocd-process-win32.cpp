// OpenOCD as a child on Windows: in a job object that kills it when the
// server's handle closes (also when the server dies), its output appended
// to the log file.
#include "server/openocd-process.h"

#include <cstdlib>
#include <filesystem>

#include <windows.h>

struct OPENOCD_PROCESS::HANDLES {
    HANDLE job = nullptr;
    HANDLE process = nullptr;
};

namespace {

/// One argument quoted as the C runtime splits a command line.
std::wstring quoted(const std::string& arg) {
    std::wstring wide(arg.begin(), arg.end());
    if (!wide.empty() && wide.find_first_of(L" \t\"") == std::wstring::npos)
        return wide;
    std::wstring out = L"\"";
    std::size_t slashes = 0;
    for (wchar_t c : wide) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        out.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
        slashes = 0;
        out.push_back(c);
    }
    out.append(2 * slashes, L'\\');
    out.push_back(L'"');
    return out;
}

std::string last_error_text() {
    return "error " + std::to_string(static_cast<unsigned long>(GetLastError()));
}

}  // namespace

OPENOCD_PROCESS::OPENOCD_PROCESS() : m_handles(std::make_unique<HANDLES>()) {}

OPENOCD_PROCESS::~OPENOCD_PROCESS() {
    kill();
}

bool OPENOCD_PROCESS::start(const std::vector<std::string>& argv, const std::string& log_path, std::string& error) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const std::wstring path(log_path.begin(), log_path.end());
    HANDLE log = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             &inherit, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE) {
        error = "cannot open " + log_path + ": " + last_error_text();
        return false;
    }
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job == nullptr ||
        !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        error = "cannot make a job object: " + last_error_text();
        CloseHandle(log);
        if (job != nullptr)
            CloseHandle(job);
        return false;
    }
    std::wstring line;
    for (const std::string& arg : argv)
        line += (line.empty() ? L"" : L" ") + quoted(arg);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = log;
    startup.hStdError = log;
    PROCESS_INFORMATION started{};
    // Suspended until it is in the job, so that nothing it starts escapes.
    const BOOL ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED | CREATE_NO_WINDOW,
                                   nullptr, nullptr, &startup, &started);
    CloseHandle(log);
    if (!ok) {
        error = last_error_text();
        CloseHandle(job);
        return false;
    }
    AssignProcessToJobObject(job, started.hProcess);
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);
    m_handles->job = job;
    m_handles->process = started.hProcess;
    m_pid = static_cast<long>(started.dwProcessId);
    return true;
}

bool OPENOCD_PROCESS::running() {
    if (m_handles->process == nullptr)
        return false;
    if (WaitForSingleObject(m_handles->process, 0) == WAIT_TIMEOUT)
        return true;
    DWORD code = 0;
    GetExitCodeProcess(m_handles->process, &code);
    m_ended = "exited with status " + std::to_string(static_cast<unsigned long>(code));
    return false;
}

void OPENOCD_PROCESS::terminate() {
    // Windows has no polite request for a console program without a console.
    if (m_handles->job != nullptr)
        TerminateJobObject(m_handles->job, 1);
}

void OPENOCD_PROCESS::kill() {
    terminate();
    if (m_handles->process != nullptr) {
        WaitForSingleObject(m_handles->process, 2000);
        running();
        CloseHandle(m_handles->process);
        m_handles->process = nullptr;
    }
    if (m_handles->job != nullptr) {
        CloseHandle(m_handles->job);
        m_handles->job = nullptr;
    }
}

std::string openocd_log_path(std::size_t index) {
    std::error_code code;
    std::filesystem::path folder = std::filesystem::temp_directory_path(code);
    return (folder / ("jtag-server-" + std::to_string(GetCurrentProcessId()) + "-openocd-" +
                      std::to_string(index + 1) + ".log"))
        .string();
}
