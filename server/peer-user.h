// Who is at the other end of a loopback connection: the server serves the
// user who started it and the administrator without any configuration, and
// turns other local users away (unless a secret or --allow-local-users lets
// them in). Per-OS files: the kernel's sockets on Linux, the owning
// process's token on Windows.
#pragma once

#include <string>

#include <asio/ip/tcp.hpp>

struct PEER_USER {
    bool trusted = false;  ///< the server's own user, or the administrator
    std::string who;       ///< "uid 1000", for messages; empty when unknown
    /// The server runs under wine, whose connection table names no owner
    /// for a program wine does not run (a native Linux client).
    bool under_wine = false;
};

/// Why a client that is not trusted is turned away, and what the server's
/// owner can do about it.
std::string peer_refusal(const PEER_USER& user);

/// The user of the program that holds the other end of the connection from
/// `peer` to `local`; on failure `trusted` is false and `who` empty.
PEER_USER peer_user(const asio::ip::tcp::endpoint& local, const asio::ip::tcp::endpoint& peer);

#ifndef _WIN32
/// The same from the TCP tables in /proc, read whole: what peer_user falls
/// back on where the kernel cannot be asked for the one socket.
PEER_USER peer_user_from_tables(const asio::ip::tcp::endpoint& local, const asio::ip::tcp::endpoint& peer);
#endif
