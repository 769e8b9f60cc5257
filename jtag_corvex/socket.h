// The few socket operations the access library and chainprobe need, one
// implementation per OS (socket-posix.cpp, socket-win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace jcvx {

/// An OS socket handle held in an integer wide enough for every OS.
using socket_handle = std::intptr_t;
constexpr socket_handle k_no_socket = -1;

/// Connects to HOST:PORT, giving up after `timeout_ms`. k_no_socket on
/// failure, with `error` filled.
socket_handle connect_to(const std::string& host, std::uint16_t port, int timeout_ms,
                         std::string& error);

/// Result of receive_some beyond a byte count.
constexpr long k_would_block = 0;
constexpr long k_closed = -1;

/// Receives what is there without waiting (`timeout_ms` 0), or waits up to
/// `timeout_ms` (negative: forever) for something to arrive. Bytes received,
/// k_would_block when nothing came, k_closed when the peer closed or failed.
long receive_some(socket_handle socket, void* buffer, std::size_t size, int timeout_ms);

/// Sends every byte, waiting for buffer space as needed. False when the
/// connection failed.
bool send_all(socket_handle socket, const void* data, std::size_t size);

void close_socket(socket_handle socket);

/// This process's id, for the server to name who holds a UART.
std::uint32_t current_process_id();

}  // namespace jcvx
