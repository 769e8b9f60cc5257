// The refused port: a socket bound to loopback that never listens.
#include "tests/support/free-port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace test_support {

int refused_port() {
    static const int port = [] {
        const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
        return static_cast<int>(ntohs(address.sin_port));  // the socket stays open
    }();
    return port;
}

std::string refused_address() {
    return "127.0.0.1:" + std::to_string(refused_port());
}

}  // namespace test_support
