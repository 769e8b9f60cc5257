// Who holds the other end of a loopback connection, asked of the kernel (and
// on Linux read from its TCP tables too): both address families, IPv4
// clients of a dual-stack listener, and nothing for a connection that is not
// there.
#include "server/peer-user.h"

#include <unistd.h>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using asio::ip::tcp;

/// A connection of this process to itself on `loopback`; the server's end.
struct LOOPBACK_PAIR {
    explicit LOOPBACK_PAIR(const asio::ip::address& loopback) : LOOPBACK_PAIR(loopback, loopback) {}
    /// A listener on `listen`, reached at `connect_to` on its port.
    LOOPBACK_PAIR(const asio::ip::address& listen, const asio::ip::address& connect_to)
        : acceptor(io, tcp::endpoint(listen, 0)), client(io), server_end(io) {
        client.connect(tcp::endpoint(connect_to, acceptor.local_endpoint().port()));
        acceptor.accept(server_end);
    }
    asio::io_context io;
    tcp::acceptor acceptor;
    tcp::socket client;
    tcp::socket server_end;
};

using LOOKUP = PEER_USER (*)(const tcp::endpoint&, const tcp::endpoint&);

/// Each way of asking: the one the server uses, and on Linux the tables it
/// falls back on.
std::vector<std::pair<const char*, LOOKUP>> lookups() {
    std::vector<std::pair<const char*, LOOKUP>> ways{{"peer_user", &peer_user}};
#ifndef _WIN32
    ways.emplace_back("peer_user_from_tables", &peer_user_from_tables);
#endif
    return ways;
}

TEST(PeerUser, OwnUserIsTrustedOnBothFamiliesAndThroughADualStackListener) {
    const std::pair<const char*, const char*> listen_connect[] = {
        {"127.0.0.1", "127.0.0.1"}, {"::1", "::1"}, {"::", "127.0.0.1"}};
    for (const auto& [name, lookup] : lookups())
        for (const auto& [listen, connect_to] : listen_connect) {
            SCOPED_TRACE(std::string(name) + " " + listen + " <- " + connect_to);
            LOOPBACK_PAIR pair(asio::ip::make_address(listen), asio::ip::make_address(connect_to));
            const PEER_USER user = lookup(pair.server_end.local_endpoint(), pair.server_end.remote_endpoint());
            EXPECT_TRUE(user.trusted);
            EXPECT_EQ(user.who, "uid " + std::to_string(::geteuid()));
        }
}

TEST(PeerUser, ConnectionThatIsNotThereIsNobodys) {
    for (const auto& [name, lookup] : lookups()) {
        SCOPED_TRACE(name);
        LOOPBACK_PAIR pair(asio::ip::make_address("127.0.0.1"));
        const tcp::endpoint local = pair.server_end.local_endpoint();
        const tcp::endpoint peer = pair.server_end.remote_endpoint();
        // Another port of the peer.
        EXPECT_EQ(lookup(local, tcp::endpoint(peer.address(), static_cast<unsigned short>(peer.port() ^ 1))).who, "");
        // The client closed its end: the kernel keeps the connection, but no
        // process holds it, and its user no longer counts.
        pair.client.close();
        const PEER_USER gone = lookup(local, peer);
        EXPECT_FALSE(gone.trusted);
        EXPECT_EQ(gone.who, "");
#ifndef _WIN32
        EXPECT_FALSE(gone.under_wine);
#endif
    }
}

TEST(PeerUser, ARefusalSaysWhatTheOwnerCanDo) {
    PEER_USER other;
    other.who = "uid 1001";
    PEER_USER unknown;
    PEER_USER native_client_of_wine;
    native_client_of_wine.under_wine = true;
    const struct {
        const PEER_USER& user;
        std::string says;
    } cases[] = {
        {other, "this server serves only the user who started it (and root), not uid 1001; its owner can let others "
                "in with --secret-file or --allow-local-users"},
        {unknown, "cannot tell which user connected; its owner can let others in with --secret-file or "
                  "--allow-local-users"},
        // Under wine the server's own Linux user is turned away too: it is told exactly how to get in.
        {native_client_of_wine,
         "cannot tell which user connected (under wine the connection table names no owner for a program that wine "
         "does not run, such as a native Linux client); its owner can let others in with --secret-file or "
         "--allow-local-users: to serve native clients, start jtag-server.exe with --allow-local-users (or with "
         "--secret-file FILE, the clients setting JTAG_CORVEX_SECRET_FILE)"},
    };
    for (const auto& one : cases)
        EXPECT_EQ(peer_refusal(one.user), one.says);
}

}  // namespace
