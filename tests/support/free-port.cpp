// The free and the refused port: sockets bound to loopback that never listen.
#include "tests/support/free-port.h"

#include "tests/support/loopback.h"

namespace test_support {

int free_port() {
    int port = 0;
    const int fd = bind_loopback(port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

int refused_port() {
    static const int port = [] {
        int bound = 0;
        bind_loopback(bound);  // the socket stays open
        return bound;
    }();
    return port;
}

std::string refused_address() {
    return "127.0.0.1:" + std::to_string(refused_port());
}

}  // namespace test_support
