// Many sessions at once: starts N terminals on UART instances 0..N-1 of
// device 1, reads every terminal's output, and over a measuring window
// reports the aggregate throughput, the slowest session, and the server's
// CPU time and peak memory (from /proc).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench-options.h"

namespace {

using clock_type = std::chrono::steady_clock;

/// Server CPU seconds (user + system) from /proc/PID/stat.
double cpu_seconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (index == 15) {
            stime = std::strtoull(field.c_str(), nullptr, 10);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

/// A field of /proc/PID/status in kB (VmHWM, VmRSS).
long status_kb(pid_t pid, const char* name) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string prefix = std::string(name) + ":";
    while (std::getline(file, line))
        if (line.rfind(prefix, 0) == 0) return std::atol(line.c_str() + prefix.size());
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string terminal;
    int sessions = 0;
    double warmup = 2;
    double seconds = 10;
    pid_t server = 0;
    const bool read = read_options(argc, argv, 1,
                                   {text_option("--terminal", terminal), number_option("--sessions", sessions),
                                    number_option("--warmup", warmup), number_option("--seconds", seconds),
                                    number_option("--server-pid", server)});
    if (!read || terminal.empty() || sessions <= 0 || server <= 0) {
        std::fprintf(stderr, "usage: bench-scale --terminal PATH --sessions N --server-pid PID [--warmup S] [--seconds S]\n");
        return 2;
    }

    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);

    // One pipe that every terminal reads as its input and that never speaks:
    // an ended input would make each terminal report it on every pass.
    int input[2];
    if (::pipe2(input, O_CLOEXEC) != 0) return 1;

    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<pid_t> children;
    std::vector<int> outputs;
    std::vector<unsigned long long> counts(static_cast<std::size_t>(sessions), 0);
    for (int i = 0; i < sessions; ++i) {
        int output[2];
        if (::pipe2(output, O_CLOEXEC) != 0) {
            std::fprintf(stderr, "bench-scale: out of descriptors at session %d\n", i);
            break;
        }
        const std::string instance = std::to_string(i);
        const pid_t child = ::fork();
        if (child == 0) {
            ::dup2(input[0], 0);
            ::dup2(output[1], 1);
            ::execl(terminal.c_str(), terminal.c_str(), "-q", "-d", "1", "-i", instance.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(output[1]);
        ::fcntl(output[0], F_SETFL, O_NONBLOCK);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<std::uint32_t>(outputs.size());
        ::epoll_ctl(poller, EPOLL_CTL_ADD, output[0], &event);
        children.push_back(child);
        outputs.push_back(output[0]);
    }

    std::vector<char> buffer(256 * 1024);
    std::vector<epoll_event> events(256);
    const auto started = clock_type::now();
    const auto window_start = started + std::chrono::duration<double>(warmup);
    const auto window_end = window_start + std::chrono::duration<double>(seconds);
    bool in_window = false;
    double cpu_at_start = 0;
    std::vector<unsigned long long> at_start;
    int open_outputs = static_cast<int>(outputs.size());
    while (open_outputs > 0) {
        const auto now = clock_type::now();
        if (!in_window && now >= window_start) {
            in_window = true;
            cpu_at_start = cpu_seconds(server);
            at_start = counts;
        }
        if (now >= window_end) break;
        const int ready = ::epoll_wait(poller, events.data(), static_cast<int>(events.size()), 50);
        for (int e = 0; e < ready; ++e) {
            const std::uint32_t index = events[static_cast<std::size_t>(e)].data.u32;
            const ssize_t n = ::read(outputs[index], buffer.data(), buffer.size());
            if (n > 0) {
                counts[index] += static_cast<unsigned long long>(n);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                ::epoll_ctl(poller, EPOLL_CTL_DEL, outputs[index], nullptr);
                --open_outputs;
            }
        }
    }
    const double cpu_used = cpu_seconds(server) - cpu_at_start;
    const long peak_kb = status_kb(server, "VmHWM");
    const double elapsed = std::chrono::duration<double>(clock_type::now() - window_start).count();

    for (pid_t child : children) ::kill(child, SIGINT);
    // Read on while they stop, so no terminal is held in a full pipe.
    const auto give_up = clock_type::now() + std::chrono::seconds(10);
    std::size_t reaped = 0;
    std::vector<bool> done(children.size(), false);
    while (reaped < children.size() && clock_type::now() < give_up) {
        const int ready = ::epoll_wait(poller, events.data(), static_cast<int>(events.size()), 20);
        for (int e = 0; e < ready; ++e) {
            const std::uint32_t index = events[static_cast<std::size_t>(e)].data.u32;
            if (::read(outputs[index], buffer.data(), buffer.size()) == 0)
                ::epoll_ctl(poller, EPOLL_CTL_DEL, outputs[index], nullptr);
        }
        for (std::size_t i = 0; i < children.size(); ++i) {
            if (!done[i] && ::waitpid(children[i], nullptr, WNOHANG) == children[i]) {
                done[i] = true;
                ++reaped;
            }
        }
    }
    for (std::size_t i = 0; i < children.size(); ++i) {
        if (!done[i]) {
            ::kill(children[i], SIGKILL);
            ::waitpid(children[i], nullptr, 0);
        }
    }

    if (!in_window || at_start.size() != counts.size()) {
        std::fprintf(stderr, "bench-scale: the sessions ended before the window\n");
        return 1;
    }
    unsigned long long total = 0;
    unsigned long long slowest = ~0ull;
    int silent = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        const unsigned long long moved = counts[i] - at_start[i];
        total += moved;
        slowest = std::min(slowest, moved);
        if (moved == 0) ++silent;
    }
    std::printf("sessions=%zu mbps=%.3f slowest_mbps=%.3f silent=%d server_cpu=%.3f server_peak_kb=%ld\n",
                counts.size(), static_cast<double>(total) / elapsed / 1e6,
                static_cast<double>(slowest) / elapsed / 1e6, silent, cpu_used / elapsed, peak_kb);
    return silent == 0 && static_cast<int>(counts.size()) == sessions ? 0 : 1;
}
