// Helpers of the soak and fault tests.
#include "soak-support.h"

#include <dirent.h>

#include <cerrno>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace soak {

std::size_t env_size(const char* name, std::size_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    return static_cast<std::size_t>(std::strtoull(text, nullptr, 10));
}

std::unique_ptr<e2e::child_process> terminal_to_file(const e2e::sim_server& server,
                                                     const std::vector<std::string>& args,
                                                     const std::string& output_file, const std::string& cwd) {
    e2e::launch how;
    how.argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >" + e2e::shell_quoted(output_file), e2e::terminal_program()};
    how.argv.insert(how.argv.end(), args.begin(), args.end());
    how.env.push_back(server.address_setting());
    how.cwd = cwd;
    how.terminal = false;
    return std::make_unique<e2e::child_process>(how);
}

std::size_t open_descriptors(pid_t pid) {
    std::size_t count = 0;
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        closedir(dir);
    }
    return count;
}

std::size_t resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return static_cast<std::size_t>(std::strtoull(line.c_str() + 6, nullptr, 10));
    }
    return 0;
}

std::string exec_board(const std::string& command, unsigned fifo) {
    std::string toml_command;
    for (char c : command) {
        if (c == '\\' || c == '"') toml_command.push_back('\\');
        toml_command.push_back(c);
    }
    return "[[cable]]\n"
           "name = \"SimCable [sim-0]\"\n"
           "[[cable.device]]\n"
           "[[cable.device.uart]]\n"
           "rx_fifo = " + std::to_string(fifo) + "\n"
           "tx_fifo = " + std::to_string(fifo) + "\n"
           "target = \"exec\"\n"
           "command = \"" + toml_command + "\"\n";
}

std::string source_command(std::uint64_t seed, std::size_t console_bytes, std::size_t block_every,
                           std::size_t max_profile) {
    std::ostringstream command;
    command << "exec " << e2e::shell_quoted(TT_SOAK_SOURCE_PATH) << ' ' << seed << ' ' << console_bytes << ' '
            << block_every << ' ' << max_profile;
    return command.str();
}

}  // namespace soak

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

namespace soak {

raw_client::raw_client(int port) {
    std::signal(SIGPIPE, SIG_IGN);  // a closed connection is a result here
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

raw_client::~raw_client() {
    if (m_fd >= 0) ::close(m_fd);
}

bool raw_client::send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool raw_client::send(const std::vector<std::uint8_t>& bytes) {
    return send(std::string(bytes.begin(), bytes.end()));
}

std::string raw_client::receive(int limit_ms) {
    std::string got;
    pollfd entry{m_fd, POLLIN, 0};
    if (::poll(&entry, 1, limit_ms) <= 0) return got;
    char buffer[65536];
    ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) got.assign(buffer, static_cast<std::size_t>(n));
    return got;
}

bool raw_client::closed_by_server(int guard_seconds) {
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(guard_seconds);
    char buffer[65536];
    while (std::chrono::steady_clock::now() < give_up) {
        pollfd entry{m_fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0) continue;
        ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
    return false;
}

}  // namespace soak

namespace soak {

long cpu_ticks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), {});
    // Fields after the command name, which may hold blanks: state is field 3,
    // utime field 14, stime field 15.
    std::size_t close_paren = all.rfind(')');
    if (close_paren == std::string::npos) return -1;
    std::istringstream fields(all.substr(close_paren + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) utime = std::strtol(field.c_str(), nullptr, 10);
        if (index == 15) {
            stime = std::strtol(field.c_str(), nullptr, 10);
            break;
        }
    }
    return utime + stime;
}

}  // namespace soak
