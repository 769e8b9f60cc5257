// The raw client: a blocking loopback connection, polled with time limits.
#include "tests/support/raw-client.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "tests/support/loopback.h"
#include "wire/messages.h"

namespace test_support {

raw_client::raw_client(int port) {
    std::signal(SIGPIPE, SIG_IGN);  // a closed connection is a result here
    m_fd = connect_loopback(port, false);
}

raw_client::~raw_client() {
    if (m_fd >= 0) ::close(m_fd);
}

bool raw_client::send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool raw_client::send(const std::vector<std::uint8_t>& bytes) {
    return send(std::string(bytes.begin(), bytes.end()));
}

std::string raw_client::receive(std::chrono::milliseconds limit) {
    std::string got;
    pollfd entry{m_fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(limit.count())) <= 0) return got;
    char buffer[65536];
    ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) got.assign(buffer, static_cast<std::size_t>(n));
    return got;
}

bool raw_client::read_until_closed(std::string& received, std::chrono::seconds guard) {
    auto give_up = std::chrono::steady_clock::now() + guard;
    char buffer[65536];
    while (std::chrono::steady_clock::now() < give_up) {
        pollfd entry{m_fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0) continue;
        ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
    return false;
}

bool raw_client::read_frame(wire::FrameType type, std::string& payload, std::chrono::seconds guard) {
    auto give_up = std::chrono::steady_clock::now() + guard;
    for (;;) {
        wire::FrameView frame;
        std::string error;
        wire::ParseStatus status;
        while ((status = m_incoming.next(frame, error)) == wire::ParseStatus::complete) {
            if (frame.type == type) {
                payload.assign(reinterpret_cast<const char*>(frame.payload), frame.size);
                m_incoming.compact();
                return true;
            }
        }
        m_incoming.compact();
        if (status == wire::ParseStatus::bad || std::chrono::steady_clock::now() >= give_up) return false;
        pollfd entry{m_fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0) continue;
        std::uint8_t* space = m_incoming.space();
        ssize_t n = ::recv(m_fd, space, m_incoming.space_size(), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
        if (n > 0) m_incoming.received(static_cast<std::size_t>(n));
    }
}

std::vector<std::uint8_t> frame_of(wire::FrameType type, const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> bytes;
    wire::append_frame(bytes, type, payload);
    return bytes;
}

std::string refusal_in(const std::string& received) {
    wire::FrameReader reader(received.size() + 1);
    reader.append(reinterpret_cast<const std::uint8_t*>(received.data()), received.size());
    wire::FrameView frame;
    std::string error, text;
    while (reader.next(frame, error) == wire::ParseStatus::complete) {
        if (frame.type == wire::FrameType::refused && wire::decode_text(frame, text)) return text;
    }
    return "";
}

}  // namespace test_support
