// jtag-server's messages on standard error while it runs. Writing them
// never holds up the event loop: a line goes into a bounded queue that a
// thread of its own writes out, so standard error may be a pipe nobody
// reads, a slow terminal or a full disk. Lines that do not fit are dropped
// and counted; the count is said once there is room again.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

/// Queues "jtag-server: " and `line` (without its line end) for standard error.
void server_log(const std::string& line);

/// Waits until what is queued has been written, or `guard` has passed.
void flush_server_log(std::chrono::milliseconds guard = std::chrono::milliseconds(1000));

/// The bound of the queue, in bytes of text.
constexpr std::size_t k_log_queue_bytes = 64 * 1024;
