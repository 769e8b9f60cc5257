// The user of a loopback peer, from the kernel's table of TCP sockets: the
// client's own socket is the line whose local address is the peer's and whose
// remote address is ours; its uid column is the user who made the socket.
#include "server/peer-user.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

/// An address as the table prints it: each 32-bit word of the address in
/// network order, printed as the host reads it ("0100007F" for 127.0.0.1 on
/// a little-endian host), a colon, the port in hex.
std::string table_address(const unsigned char* bytes, std::size_t size, unsigned short port) {
    std::string text;
    char word_text[9];
    for (std::size_t at = 0; at < size; at += 4) {
        std::uint32_t word = 0;
        std::memcpy(&word, bytes + at, 4);
        std::snprintf(word_text, sizeof word_text, "%08X", static_cast<unsigned>(word));
        text += word_text;
    }
    char port_text[6];
    std::snprintf(port_text, sizeof port_text, "%04X", static_cast<unsigned>(port));
    return text + ":" + port_text;
}

/// The endpoint as written in /proc/net/tcp (IPv4) and in /proc/net/tcp6
/// (IPv6, and IPv4 as ::ffff:a.b.c.d for dual-stack sockets).
struct TABLE_ADDRESSES {
    std::string v4;  ///< empty for an IPv6 address
    std::string v6;
};

TABLE_ADDRESSES table_addresses(const asio::ip::tcp::endpoint& endpoint) {
    asio::ip::address address = endpoint.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    TABLE_ADDRESSES out;
    if (address.is_v4()) {
        const auto v4 = address.to_v4().to_bytes();
        out.v4 = table_address(v4.data(), v4.size(), endpoint.port());
        const auto mapped = asio::ip::make_address_v6(asio::ip::v4_mapped, address.to_v4()).to_bytes();
        out.v6 = table_address(mapped.data(), mapped.size(), endpoint.port());
    } else {
        const auto v6 = address.to_v6().to_bytes();
        out.v6 = table_address(v6.data(), v6.size(), endpoint.port());
    }
    return out;
}

/// The uid of the socket with these addresses in one table; false when none
/// is there. A line without an inode is a socket no process holds any more
/// (closed, or waiting out its end): its uid means nothing and it is passed over.
bool find_uid(const char* table, const std::string& local, const std::string& remote, unsigned long& uid) {
    if (local.empty())
        return false;
    std::ifstream file(table);
    std::string line;
    std::getline(file, line);  // the column titles
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string slot, line_local, line_remote, state, queues, timer, retransmits, timeout;
        unsigned long line_uid = 0, inode = 0;
        if (!(fields >> slot >> line_local >> line_remote >> state >> queues >> timer >> retransmits >> line_uid >>
              timeout >> inode))
            continue;
        if (line_local == local && line_remote == remote && inode != 0) {
            uid = line_uid;
            return true;
        }
    }
    return false;
}

}  // namespace

PEER_USER peer_user(const asio::ip::tcp::endpoint& local, const asio::ip::tcp::endpoint& peer) {
    // The client's socket: its local address is our peer, its remote one us.
    const TABLE_ADDRESSES client = table_addresses(peer);
    const TABLE_ADDRESSES server = table_addresses(local);
    unsigned long uid = 0;
    PEER_USER user;
    if (!find_uid("/proc/net/tcp", client.v4, server.v4, uid) && !find_uid("/proc/net/tcp6", client.v6, server.v6, uid))
        return user;
    user.who = "uid " + std::to_string(uid);
    user.trusted = uid == 0 || uid == static_cast<unsigned long>(::geteuid());
    return user;
}
