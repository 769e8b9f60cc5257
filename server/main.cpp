// jtag-server: serves simulated cables, boards and JTAG UART targets to the
// access library and chainprobe on a loopback TCP port.
#include <csignal>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include "programs/command-line.h"
#include "server/board.h"
#include "server/endpoint.h"
#include "server/log.h"
#include "server/server.h"
#include "server/target-kinds.h"
#include "wire/address.h"
#include "wire/secret.h"

namespace {

int error_exit(const std::string& message) {
    return programs::error_exit("jtag-server", message);
}

/// A standard descriptor the server was started without is opened on the
/// null device, so that none of its own sockets and pipes takes its place:
/// what it or an exec target prints there would go into a client's stream.
void reserve_standard_descriptors() {
#ifndef _WIN32
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1)
            continue;
        const int null = ::open("/dev/null", O_RDWR);
        if (null > 2)
            ::close(null);
    }
#endif
}

}  // namespace

int main(int argc, char** argv) {
    reserve_standard_descriptors();

    // 1. Options.
    CLI::App app{"jtag-server: the local JTAG server, with simulated cables, boards and targets"};
    std::string board_file;
    std::string listen = std::string(wire::k_default_host) + ":" + std::to_string(wire::k_default_port);
    app.add_option("--board", board_file, "board file (TOML) describing cables, devices, UARTs and targets");
    app.add_option("--listen", listen, "address to listen on, HOST:PORT; port 0 picks a free port");
    bool allow_remote = false;
    std::string secret_file;
    ACCESS_POLICY policy;
    double handshake_seconds = policy.handshake_timeout_ms / 1000.0;
    app.add_flag("--allow-remote", allow_remote,
                 "allow --listen on an address other than loopback (needs --secret-file)");
    app.add_option("--secret-file", secret_file,
                   "file (mode 600) holding the secret every client must present first");
    app.add_flag("--allow-local-users", policy.all_local_users,
                 "serve every local user, not only the one who started the server and root");
    app.add_option("--max-clients", policy.max_clients, "clients connected at once; more are refused")
        ->check(CLI::Range(1, 100000));
    app.add_option("--handshake-timeout", handshake_seconds,
                   "seconds a new client has for its secret and first request")
        ->check(CLI::Range(0.05, 3600.0));
    if (const std::optional<int> status = programs::parse_command_line(app, argc, argv, "jtag-server", true))
        return *status;

    // 2. The board: from the file, or the built-in demo board.
    BoardConfig board = demo_board();
    std::string error;
    if (!board_file.empty() && !load_board_file(board_file, board, error))
        return error_exit(error);

#ifndef _WIN32
    std::signal(SIGPIPE, SIG_IGN);  // a target that stops reading is an error code, not a signal
#endif

    // 3. Listen, then start the targets, so that early output waits in the FIFOs.
    asio::io_context io;
    SERVER server(io);
    asio::ip::tcp::endpoint endpoint;
    if (!resolve_endpoint(io, listen, endpoint, error))
        return error_exit("--listen: " + error);
    // Loopback only, unless asked for explicitly and with a secret: anyone who
    // can reach the port could otherwise drive the targets.
    if (!endpoint.address().is_loopback() && !allow_remote)
        return error_exit("--listen: " + listen + " is not a loopback address; listening elsewhere needs "
                          "--allow-remote and --secret-file");
    if (allow_remote && secret_file.empty())
        return error_exit("--allow-remote needs --secret-file");
    if (!secret_file.empty() && !wire::read_secret_file(secret_file, policy.secret, error, true))
        return error_exit("--secret-file: " + error);
    policy.handshake_timeout_ms = static_cast<int>(handshake_seconds * 1000.0);
    server.set_policy(policy);
    prepare_target_kinds(io);
    if (!server.build(board, error) || !server.listen(endpoint, error) || !server.start_targets(error))
        return error_exit(error);

#ifdef SIGHUP
    asio::signal_set signals(io, SIGINT, SIGTERM, SIGHUP);  // a hang-up ends it as SIGTERM does
#else
    asio::signal_set signals(io, SIGINT, SIGTERM);
#endif
    signals.async_wait([&](const std::error_code&, int) {
        server.stop();
        io.stop();
    });

    // Real chains get a moment to be found, so that a client started right
    // after the first line finds them (a chain found later is served then).
    const auto settle_by = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!server.chains_settled() && std::chrono::steady_clock::now() < settle_by)
        io.run_one_for(std::chrono::milliseconds(50));

    // 4. Tell where we are: tests read the first line for the port. What
    // was found of the chains is said first, unless standard error is stuck.
    flush_server_log(std::chrono::milliseconds(200));
    std::printf("jtag-server: listening on %s\n", server.listen_address().c_str());
    for (const std::string& line : server.target_addresses())
        std::printf("jtag-server: %s\n", line.c_str());
    std::fflush(stdout);

    // 5. Serve until SIGINT, SIGTERM or SIGHUP (caught from before the first
    // line, so a supervisor may signal as soon as it has read it).
    io.run();
    server.stop();
    finish_target_kinds();
    flush_server_log();
    return 0;
}
