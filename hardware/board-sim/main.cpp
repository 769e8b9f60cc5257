// jtag-board-sim: a simulated board with a JTAG chain (another maker's TAP,
// then an FPGA with our TAP and its JTAG UARTs) served over OpenOCD's
// remote_bitbang protocol on TCP, one client at a time.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>


#include "hardware/board-sim/board-model.h"
#include "hardware/board-sim/exec-uart.h"
#include "hardware/board-sim/remote-bitbang.h"
#include "programs/command-line.h"
#include "wire/address.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

int error_exit(const std::string& message) {
    return programs::error_exit("jtag-board-sim", message);
}

/// Binds and listens on HOST:PORT; -1 with `error` filled when it cannot.
int listen_on(const wire::ServerAddress& address, std::string& bound, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(address.port);
    if (const int status = ::getaddrinfo(address.host.c_str(), port.c_str(), &hints, &found); status != 0) {
        error = "--listen: cannot resolve " + address.host + ": " + ::gai_strerror(status);
        return -1;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (fd < 0 || ::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 4) != 0) {
        error = "cannot listen on " + address.host + ":" + port + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    ::getnameinfo(reinterpret_cast<sockaddr*>(&local), length, host, sizeof host, service, sizeof service,
                  NI_NUMERICHOST | NI_NUMERICSERV);
    bound = local.ss_family == AF_INET6 ? "[" + std::string(host) + "]:" + service : std::string(host) + ":" + service;
    return fd;
}

/// Sends all of `bytes`; false when the client is gone or the board is to
/// stop. A client that reads no replies holds the board here, but never
/// past a SIGINT or SIGTERM.
bool send_all(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        if (g_stop)
            return false;
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            // A signal ends the wait at once (no SA_RESTART); one that
            // comes just before it is seen within the time-out.
            pollfd room{fd, POLLOUT, 0};
            ::poll(&room, 1, 100);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // 1. Options.
    CLI::App app{std::string("jtag-board-sim: a simulated board with JTAG UARTs, served over remote_bitbang; "
                             "its chain: ") + BOARD_MODEL::chain_name()};
    std::string listen = "127.0.0.1:0";
    std::vector<std::string> uart_specs;
    double clock_ratio = 1.0;
    app.add_option("--listen", listen, "address to listen on, HOST:PORT; port 0 picks a free port");
    app.add_option("--uart", uart_specs,
                   "a JTAG UART of the FPGA: loopback, or exec:COMMAND (its CPU side on COMMAND's standard "
                   "input and output); repeat for more (at most 4 on our own TAP, 1 behind an FPGA's primitive; "
                   "default one loopback)");
    app.add_option("--clock-ratio", clock_ratio, "system clock cycles per TCK cycle (0.02 to 50)")
        ->check(CLI::Range(0.02, 50.0));
    if (const std::optional<int> status = programs::parse_command_line(app, argc, argv, "jtag-board-sim", false))
        return *status;
    if (uart_specs.empty())
        uart_specs.push_back("loopback");
    if (uart_specs.size() > BOARD_MODEL::chain_uarts())
        return error_exit("--uart: at most " + std::to_string(BOARD_MODEL::chain_uarts()) + " JTAG UART" +
                          (BOARD_MODEL::chain_uarts() == 1 ? "" : "s") + " on " + BOARD_MODEL::chain_name());
    for (const std::string& uart : uart_specs)
        if (uart != "loopback" && (uart.rfind("exec:", 0) != 0 || uart.size() == 5))
            return error_exit("--uart: '" + uart + "' is neither loopback nor exec:COMMAND");
    wire::ServerAddress address;
    std::string error;
    if (!wire::parse_address(listen, address, error))
        return error_exit("--listen: " + error);

    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = on_signal;  // no SA_RESTART: poll returns at once
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    // 2. Listen, build the board, start the commands behind exec UARTs.
    std::string bound;
    const int listener = listen_on(address, bound, error);
    if (listener < 0)
        return error_exit(error);
    BOARD_MODEL board(static_cast<unsigned>(uart_specs.size()), clock_ratio);
    std::vector<std::unique_ptr<EXEC_UART>> commands(uart_specs.size());
    for (unsigned i = 0; i < uart_specs.size(); ++i) {
        if (uart_specs[i] == "loopback")
            continue;
        board.uart(i).loopback = false;
        commands[i] = std::make_unique<EXEC_UART>(i, uart_specs[i].substr(5));
        if (!commands[i]->start(error))
            return error_exit("--uart " + uart_specs[i] + ": " + error);
    }
    for (auto& command : commands)
        if (command && !command->check_started(error))
            return error_exit(error);

    // 3. Tell where we are: the first line carries the port.
    std::printf("jtag-board-sim: remote_bitbang on %s\n", bound.c_str());
    std::fflush(stdout);

    // 4. Serve one client at a time; the board keeps its state between them.
    int client = -1;
    std::vector<char> buffer(1 << 16);
    std::string replies;
    while (!g_stop) {
        std::vector<pollfd> fds;
        fds.push_back({client >= 0 ? client : listener, POLLIN, 0});
        for (unsigned i = 0; i < commands.size(); ++i)
            if (commands[i])
                commands[i]->add_poll(fds, board.uart(i));
        const bool busy = board.system_busy();
        if (::poll(fds.data(), fds.size(), busy ? 0 : 100) < 0 && errno != EINTR)
            return error_exit(std::string("poll: ") + std::strerror(errno));

        if (client < 0 && (fds[0].revents & POLLIN)) {
            client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            const int yes = 1;
            if (client >= 0)
                ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        } else if (client >= 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t got = ::recv(client, buffer.data(), buffer.size(), 0);
            bool done = got <= 0 && !(got < 0 && errno == EINTR);
            if (got > 0) {
                replies.clear();
                const BITBANG_RESULT result =
                    serve_requests(board, buffer.data(), static_cast<std::size_t>(got), replies);
                if (result.end == BITBANG_RESULT::BAD_BYTE)
                    std::fprintf(stderr,
                                 "jtag-board-sim: the client sent byte 0x%02x, which is no remote_bitbang "
                                 "request: disconnected\n",
                                 result.bad_byte);
                done = !send_all(client, replies) || result.end != BITBANG_RESULT::MORE;
                // A few system clocks let the crossings settle, as a free-running clock would.
                board.run_system(4);
            }
            if (done) {
                ::close(client);
                client = -1;
            }
        }
        for (unsigned i = 0; i < commands.size(); ++i)
            if (commands[i])
                commands[i]->pump(board.uart(i));
        if (board.system_busy())
            board.run_system(64);
    }

    // 5. Tear down: the commands end with their process groups.
    if (client >= 0)
        ::close(client);
    ::close(listener);
    return 0;
}
