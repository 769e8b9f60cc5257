// The tcp target: the UART's other side is whatever connects to its port (a
// simulator, a script); one peer at a time, the next is accepted when it leaves.
#include <asio/ip/tcp.hpp>

#include "server/endpoint.h"
#include "server/stream-target.h"
#include "server/target-kinds.h"

namespace {

class TCP_TARGET : public ONE_STREAM_TARGET<asio::ip::tcp::socket> {
public:
    TCP_TARGET(std::string listen, asio::io_context& io)
        : ONE_STREAM_TARGET(io), m_listen(std::move(listen)), m_io(io), m_acceptor(io) {}
    ~TCP_TARGET() override {
        std::error_code ignored;
        m_acceptor.close(ignored);
        m_stream.close(ignored);
    }

    std::string describe() const override { return "tcp: " + m_listen; }

    std::string listen_address() const override {
        std::error_code code;
        const auto endpoint = m_acceptor.local_endpoint(code);
        return code ? std::string() : endpoint_text(endpoint);
    }

    bool start(UART& uart, std::string& error) override {
        m_uart = &uart;
        if (!m_acceptor.is_open()) {
            asio::ip::tcp::endpoint endpoint;
            if (!resolve_endpoint(m_io, m_listen, endpoint, error))
                return false;
            if (std::error_code code = listen_on(m_acceptor, endpoint)) {
                error = "cannot listen on " + m_listen + ": " + code.message();
                return false;
            }
        }
        m_running = true;
        accept();
        return true;
    }

    void stop() override {
        m_running = false;
        drop_peer();
    }

protected:
    void on_read_end() override {
        drop_peer();
        accept();
    }

private:
    void drop_peer() {
        end_stream();
        std::error_code ignored;
        m_stream.close(ignored);
    }

    void accept() {
        if (m_accepting || !m_running || m_stream.is_open())
            return;
        m_accepting = true;
        m_acceptor.async_accept([this](const std::error_code& error, asio::ip::tcp::socket peer) {
            m_accepting = false;
            if (error || !m_running) {
                // Detached while waiting: the peer is turned away.
                return;
            }
            std::error_code ignored;
            peer.set_option(asio::ip::tcp::no_delay(true), ignored);
            m_stream = std::move(peer);
            begin_stream(*m_uart);
            m_uart->pump();
        });
    }

    std::string m_listen;
    asio::io_context& m_io;
    asio::ip::tcp::acceptor m_acceptor;
    UART* m_uart = nullptr;
    bool m_running = false;
    bool m_accepting = false;
};

}  // namespace

std::unique_ptr<TARGET> make_tcp_target(const TargetSettings& settings, asio::io_context& io) {
    return std::make_unique<TCP_TARGET>(settings.text("listen"), io);
}
