// The user of a loopback peer: the client's own socket is the one whose local
// address is the peer's and whose remote address is ours; the kernel knows
// the user who made it. Asked through sock_diag, which looks that one socket
// up; the TCP tables in /proc, which are read whole (slow with thousands of
// connections), only where sock_diag is not available.
#include "server/peer-user.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
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

enum class LOOKUP { found, absent, unavailable };

/// The uid of the socket whose local end is `client` and whose remote end is
/// `server`, asked of the kernel through sock_diag. A socket that no process
/// holds any more (inode 0: closed, or waiting out its end) is absent.
LOOKUP diag_uid(asio::ip::address client_address, unsigned short client_port, asio::ip::address server_address,
                unsigned short server_port, unsigned long& uid) {
    if (client_address.is_v6() && client_address.to_v6().is_v4_mapped())
        client_address = asio::ip::make_address_v4(asio::ip::v4_mapped, client_address.to_v6());
    if (server_address.is_v6() && server_address.to_v6().is_v4_mapped())
        server_address = asio::ip::make_address_v4(asio::ip::v4_mapped, server_address.to_v6());
    if (client_address.is_v4() != server_address.is_v4())
        return LOOKUP::absent;

    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    inet_diag_req_v2& request = message.request;
    request.sdiag_family = client_address.is_v4() ? AF_INET : AF_INET6;
    request.sdiag_protocol = IPPROTO_TCP;
    request.idiag_states = ~0u;
    request.id.idiag_sport = htons(client_port);
    request.id.idiag_dport = htons(server_port);
    request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (client_address.is_v4()) {
        const auto c = client_address.to_v4().to_bytes();
        const auto s = server_address.to_v4().to_bytes();
        std::memcpy(request.id.idiag_src, c.data(), c.size());
        std::memcpy(request.id.idiag_dst, s.data(), s.size());
    } else {
        const auto c = client_address.to_v6().to_bytes();
        const auto s = server_address.to_v6().to_bytes();
        std::memcpy(request.id.idiag_src, c.data(), c.size());
        std::memcpy(request.id.idiag_dst, s.data(), s.size());
    }

    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return LOOKUP::unavailable;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    LOOKUP result = LOOKUP::unavailable;
    alignas(nlmsghdr) unsigned char reply[8192];
    if (::sendto(fd, &message, sizeof message, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) ==
        static_cast<ssize_t>(sizeof message)) {
        ssize_t got;
        do
            got = ::recv(fd, reply, sizeof reply, 0);
        while (got < 0 && errno == EINTR);
        const auto* header = reinterpret_cast<const nlmsghdr*>(reply);
        if (got >= static_cast<ssize_t>(sizeof(nlmsghdr)) && NLMSG_OK(header, static_cast<unsigned>(got))) {
            if (header->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
                header->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
                uid = found->idiag_uid;
                result = found->idiag_inode != 0 ? LOOKUP::found : LOOKUP::absent;
            } else if (header->nlmsg_type == NLMSG_ERROR &&
                       header->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
                // No such socket; any other refusal leaves the tables to ask.
                const int error = -static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error;
                result = error == ENOENT ? LOOKUP::absent : LOOKUP::unavailable;
            }
        }
    }
    ::close(fd);
    return result;
}

}  // namespace

namespace {

PEER_USER user_of(unsigned long uid) {
    PEER_USER user;
    user.who = "uid " + std::to_string(uid);
    user.trusted = uid == 0 || uid == static_cast<unsigned long>(::geteuid());
    return user;
}

}  // namespace

PEER_USER peer_user_from_tables(const asio::ip::tcp::endpoint& local, const asio::ip::tcp::endpoint& peer) {
    const TABLE_ADDRESSES client = table_addresses(peer);
    const TABLE_ADDRESSES server = table_addresses(local);
    unsigned long uid = 0;
    if (!find_uid("/proc/net/tcp", client.v4, server.v4, uid) && !find_uid("/proc/net/tcp6", client.v6, server.v6, uid))
        return {};
    return user_of(uid);
}

PEER_USER peer_user(const asio::ip::tcp::endpoint& local, const asio::ip::tcp::endpoint& peer) {
    // The client's socket: its local address is our peer, its remote one us.
    unsigned long uid = 0;
    switch (diag_uid(peer.address(), peer.port(), local.address(), local.port(), uid)) {
    case LOOKUP::found:
        return user_of(uid);
    case LOOKUP::absent:
        return {};
    case LOOKUP::unavailable:
        break;
    }
    return peer_user_from_tables(local, peer);
}
