// Who holds the other end of a loopback connection, read from the kernel's
// TCP tables: both address families, and nothing for a connection that is
// not there.
#include "server/peer-user.h"

#include <unistd.h>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <gtest/gtest.h>

namespace {

using asio::ip::tcp;

/// A connection of this process to itself on `loopback`; the server's end.
struct LOOPBACK_PAIR {
    explicit LOOPBACK_PAIR(const asio::ip::address& loopback)
        : acceptor(io, tcp::endpoint(loopback, 0)), client(io), server_end(io) {
        client.connect(acceptor.local_endpoint());
        acceptor.accept(server_end);
    }
    asio::io_context io;
    tcp::acceptor acceptor;
    tcp::socket client;
    tcp::socket server_end;
};

TEST(PeerUser, OwnUserIsTrustedOnBothFamilies) {
    for (const char* loopback : {"127.0.0.1", "::1"}) {
        LOOPBACK_PAIR pair(asio::ip::make_address(loopback));
        const PEER_USER user = peer_user(pair.server_end.local_endpoint(), pair.server_end.remote_endpoint());
        EXPECT_TRUE(user.trusted) << loopback;
        EXPECT_EQ(user.who, "uid " + std::to_string(::geteuid())) << loopback;
    }
}

TEST(PeerUser, ConnectionThatIsNotThereIsNobodys) {
    LOOPBACK_PAIR pair(asio::ip::make_address("127.0.0.1"));
    const tcp::endpoint local = pair.server_end.local_endpoint();
    const tcp::endpoint peer = pair.server_end.remote_endpoint();
    // Another port of the peer.
    EXPECT_EQ(peer_user(local, tcp::endpoint(peer.address(), static_cast<unsigned short>(peer.port() ^ 1))).who, "");
    // The client closed its end: the kernel keeps the connection, but no
    // process holds it, and its user no longer counts.
    pair.client.close();
    const PEER_USER gone = peer_user(local, peer);
    EXPECT_FALSE(gone.trusted);
    EXPECT_EQ(gone.who, "");
}

}  // namespace
