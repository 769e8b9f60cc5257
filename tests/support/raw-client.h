// A bare TCP client of a server's port that says exactly what it is told:
// for clients that misbehave, and for looking at the frames that come back.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "wire/frame-reader.h"

namespace test_support {

using namespace std::chrono_literals;

class raw_client {
public:
    explicit raw_client(int port);
    ~raw_client();
    raw_client(const raw_client&) = delete;
    raw_client& operator=(const raw_client&) = delete;

    bool connected() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    /// False when the connection refused the bytes (it is closed).
    bool send(const std::string& bytes);
    bool send(const std::vector<std::uint8_t>& bytes);
    /// Whatever arrives within `limit`, stopping early once something came.
    std::string receive(std::chrono::milliseconds limit);
    /// Everything the server sends until it closes the connection; false
    /// when it keeps it open for `guard`.
    bool read_until_closed(std::string& received, std::chrono::seconds guard = 30s);
    /// The payload of the first whole frame of `type` (others are passed
    /// over); false when none comes within `guard` or the connection ends.
    bool read_frame(wire::FrameType type, std::string& payload, std::chrono::seconds guard = 30s);

private:
    int m_fd = -1;
    wire::FrameReader m_incoming{64 * 1024};
};

/// A whole frame.
std::vector<std::uint8_t> frame_of(wire::FrameType type, const std::vector<std::uint8_t>& payload = {});

/// The reason in a refused frame among `received`, or "" when there is none.
std::string refusal_in(const std::string& received);

}  // namespace test_support
