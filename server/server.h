// jtag-server's core: it owns the listening socket, the cables with their
// boards and targets, and the client sessions; it answers opens, listings
// and control requests.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include "server/board.h"
#include "server/chain.h"
#include "wire/messages.h"

class SESSION;
class JTAG_CABLE;

/// Who gets in, and how much each may hold.
struct ACCESS_POLICY {
    std::string secret;               ///< empty: none asked for (loopback only)
    /// Without a secret: every local user, not only the server's own user
    /// and the administrator.
    bool all_local_users = false;
    std::size_t max_clients = 64;     ///< admitted connections at once; more are refused
    /// Connections not yet let in (no secret yet, user not yet told): a few, briefly,
    /// and apart from the admitted ones, so that silent ones lock nobody out.
    std::size_t max_unauthenticated = 16;
    int secret_timeout_ms = 3000;     ///< for the secret (at most the handshake's)
    int handshake_timeout_ms = 10000; ///< for the secret and the first request
};

class SERVER {
public:
    explicit SERVER(asio::io_context& io);
    ~SERVER();

    void set_policy(const ACCESS_POLICY& policy) { m_policy = policy; }
    const ACCESS_POLICY& policy() const { return m_policy; }
    asio::io_context& io() { return m_io; }

    /// Builds the cables and targets of a board (targets not yet started).
    bool build(const BoardConfig& board, std::string& error);
    bool listen(const asio::ip::tcp::endpoint& endpoint, std::string& error);
    /// Starts the targets of every powered board, as the server comes up,
    /// and connects the real cables to their adapters.
    bool start_targets(std::string& error);
    /// Every real cable has finished its first try to reach its chain.
    bool chains_settled() const;
    std::string listen_address() const;
    /// "target CABLE device D instance I on ADDRESS" for each tcp target.
    std::vector<std::string> target_addresses() const;
    /// Closes the listening socket and every session, stops every target.
    void stop();

    wire::OpenReply open(const wire::OpenRequest& request, UART*& uart);
    wire::ListReply list() const;
    wire::ControlReply control(const wire::ControlRequest& request);
    void remove(SESSION* session);
    /// A session that may be served takes a place, unless all are taken
    /// (the session is then refused).
    bool admit(SESSION& session);
    /// A session waits for its secret (or for its user to be told); the
    /// oldest waiting one makes way when too many do.
    void wait_for_proof(SESSION& session);

private:
    void accept();
    /// A target of `cable` reports its other side gone or back.
    void side_presence(CABLE& cable, TARGET::Presence change);

    asio::io_context& m_io;
    asio::ip::tcp::acceptor m_acceptor;
    CABLES m_cables;
    std::vector<std::unique_ptr<JTAG_CABLE>> m_jtag_cables;
    std::set<std::shared_ptr<SESSION>> m_sessions;
    ACCESS_POLICY m_policy;
    std::uint64_t m_accepted = 0;  ///< connections so far, numbering the sessions
    bool m_stopped = false;
};
