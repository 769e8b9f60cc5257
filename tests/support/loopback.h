// Loopback sockets for the tests and the benchmarks: a connection to a port,
// and a socket bound to a port of its own. Header only and POSIX only, so
// that bench/ (also built as a project of its own) shares it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <thread>

namespace test_support {

/// A blocking connection to 127.0.0.1:`port` (with TCP_NODELAY unless
/// `no_delay` is false), or -1.
inline int connect_loopback(int port, bool no_delay = true) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    const int yes = 1;
    if (no_delay)
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    return fd;
}

/// A socket bound to a loopback port the system picked (not listening), and
/// in `port` that port; -1 on failure.
inline int bind_loopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

/// A socket listening on a loopback port the system picked, and in `port`
/// that port; -1 on failure.
inline int listen_loopback(int& port) {
    const int fd = bind_loopback(port);
    if (fd >= 0 && ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

/// A stand-in server on a loopback port of its own: `serve` runs on a thread
/// of its own, accepting from the listener until `stopping()`; the
/// destructor shuts the listener, which ends a waiting accept.
class LOOPBACK_SERVER {
public:
    explicit LOOPBACK_SERVER(std::function<void(LOOPBACK_SERVER&)> serve) {
        m_listener = listen_loopback(m_port);
        if (m_listener < 0)
            throw std::runtime_error("cannot listen on loopback");
        m_thread = std::thread([this, serve = std::move(serve)] { serve(*this); });
    }
    ~LOOPBACK_SERVER() {
        m_stop = true;
        ::shutdown(m_listener, SHUT_RDWR);
        ::close(m_listener);
        m_thread.join();
    }
    LOOPBACK_SERVER(const LOOPBACK_SERVER&) = delete;
    LOOPBACK_SERVER& operator=(const LOOPBACK_SERVER&) = delete;
    int port() const { return m_port; }
    bool stopping() const { return m_stop; }
    /// The next client, or -1 once the listener is shut.
    int accept_client() const { return ::accept(m_listener, nullptr, nullptr); }

private:
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace test_support
