// Sockets on POSIX systems. The library must not touch process-wide signal
// handling, so sends use MSG_NOSIGNAL rather than ignoring SIGPIPE.
#include "jtag_corvex/socket.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace jcvx {

/// The library's socket never takes the place of a closed standard
/// descriptor: the program's own output would then go into the connection.
static int above_standard_descriptors(int fd) {
    if (fd < 0 || fd > 2)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

static bool wait_for(int fd, short events, int timeout_ms) {
    pollfd entry{fd, events, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, timeout_ms);
        if (ready >= 0)
            return ready > 0;
        if (errno != EINTR)
            return false;
    }
}

socket_handle connect_to(const std::string& host, std::uint16_t port, int timeout_ms,
                         std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (status != 0) {
        error = "cannot resolve " + host + ": " + ::gai_strerror(status);
        return k_no_socket;
    }
    int connected = -1;
    error = "cannot connect to " + host + ":" + service;
    for (addrinfo* entry = found; entry != nullptr && connected < 0; entry = entry->ai_next) {
        const int fd = above_standard_descriptors(
            ::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol));
        if (fd < 0)
            continue;
        const int flags = ::fcntl(fd, F_GETFL);
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        int result = ::connect(fd, entry->ai_addr, entry->ai_addrlen);
        if (result < 0 && errno == EINPROGRESS && wait_for(fd, POLLOUT, timeout_ms)) {
            int so_error = 0;
            socklen_t length = sizeof so_error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &length);
            result = so_error == 0 ? 0 : -1;
            errno = so_error;
        }
        if (result == 0) {
            ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            connected = fd;
        } else {
            error = "cannot connect to " + host + ":" + service + ": " + std::strerror(errno);
            ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    return connected;
}

long receive_some(socket_handle socket, void* buffer, std::size_t size, int timeout_ms) {
    const int fd = static_cast<int>(socket);
    if (timeout_ms != 0 && !wait_for(fd, POLLIN, timeout_ms))
        return k_would_block;
    for (;;) {
        const ssize_t got = ::recv(fd, buffer, size, MSG_DONTWAIT);
        if (got > 0)
            return static_cast<long>(got);
        if (got == 0)
            return k_closed;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? k_would_block : k_closed;
    }
}

bool send_all(socket_handle socket, const void* data, std::size_t size) {
    const int fd = static_cast<int>(socket);
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t sent = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

void close_socket(socket_handle socket) {
    if (socket != k_no_socket)
        ::close(static_cast<int>(socket));
}

std::uint32_t current_process_id() {
    return static_cast<std::uint32_t>(::getpid());
}

}  // namespace jcvx
