// Sockets on Windows (Winsock). Winsock is started once per process on the
// first connection and left running; the process's exit releases it.
#include "jtag_corvex/socket.h"

#include <mutex>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

namespace jcvx {

static bool start_winsock() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data;
        started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
}

static bool wait_for(SOCKET s, short events, int timeout_ms) {
    WSAPOLLFD entry{};
    entry.fd = s;
    entry.events = events;
    return ::WSAPoll(&entry, 1, timeout_ms) > 0;
}

socket_handle connect_to(const std::string& host, std::uint16_t port, int timeout_ms,
                         std::string& error) {
    if (!start_winsock()) {
        error = "cannot start Winsock";
        return k_no_socket;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) {
        error = "cannot resolve " + host;
        return k_no_socket;
    }
    socket_handle connected = k_no_socket;
    error = "cannot connect to " + host + ":" + service;
    for (addrinfo* entry = found; entry != nullptr && connected == k_no_socket; entry = entry->ai_next) {
        SOCKET s = ::socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
        if (s == INVALID_SOCKET)
            continue;
        u_long on = 1;
        ::ioctlsocket(s, FIONBIO, &on);
        int result = ::connect(s, entry->ai_addr, static_cast<int>(entry->ai_addrlen));
        if (result != 0 && ::WSAGetLastError() == WSAEWOULDBLOCK && wait_for(s, POLLWRNORM, timeout_ms)) {
            int so_error = 0;
            int length = sizeof so_error;
            ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &length);
            result = so_error == 0 ? 0 : -1;
        }
        if (result == 0) {
            const BOOL one = TRUE;
            ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
            connected = static_cast<socket_handle>(s);
        } else {
            ::closesocket(s);
        }
    }
    ::freeaddrinfo(found);
    return connected;
}

// The socket stays non-blocking; receives and sends wait with WSAPoll.
long receive_some(socket_handle socket, void* buffer, std::size_t size, int timeout_ms) {
    const SOCKET s = static_cast<SOCKET>(socket);
    if (timeout_ms != 0 && !wait_for(s, POLLRDNORM, timeout_ms))
        return k_would_block;
    const int chunk = size > 0x40000000 ? 0x40000000 : static_cast<int>(size);
    const int got = ::recv(s, static_cast<char*>(buffer), chunk, 0);
    if (got > 0)
        return got;
    if (got == 0)
        return k_closed;
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? k_would_block : k_closed;
}

bool send_all(socket_handle socket, const void* data, std::size_t size) {
    const SOCKET s = static_cast<SOCKET>(socket);
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const int chunk = size > 0x40000000 ? 0x40000000 : static_cast<int>(size);
        const int sent = ::send(s, bytes, chunk, 0);
        if (sent == SOCKET_ERROR) {
            if (::WSAGetLastError() != WSAEWOULDBLOCK || !wait_for(s, POLLWRNORM, -1))
                return false;
            continue;
        }
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

void close_socket(socket_handle socket) {
    if (socket != k_no_socket)
        ::closesocket(static_cast<SOCKET>(socket));
}

std::uint32_t current_process_id() {
    return static_cast<std::uint32_t>(::GetCurrentProcessId());
}

}  // namespace jcvx
