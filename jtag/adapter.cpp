// The adapters' connection and transactions.
#include "jtag/adapter.h"

#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include "jtag/remote-bitbang.h"

namespace jtag {

std::shared_ptr<ADAPTER> ADAPTER::make(ADAPTER_KIND kind, std::string host, std::uint16_t port,
                                       asio::io_context& io, int timeout_ms) {
    return std::shared_ptr<ADAPTER>(new ADAPTER(kind, std::move(host), port, io, timeout_ms));
}

ADAPTER::ADAPTER(ADAPTER_KIND kind, std::string host, std::uint16_t port, asio::io_context& io, int timeout_ms)
    : m_kind(kind), m_host(std::move(host)), m_port(port), m_io(io), m_timeout_ms(timeout_ms), m_socket(io),
      m_resolver(io), m_deadline(io), m_watchdog(io) {}

const char* ADAPTER::kind_name() const {
    return m_kind == ADAPTER_KIND::openocd ? "openocd" : "remote_bitbang";
}

std::string ADAPTER::address() const {
    const bool v6 = m_host.find(':') != std::string::npos;
    return (v6 ? "[" + m_host + "]" : m_host) + ":" + std::to_string(m_port);
}

void ADAPTER::close() {
    ++m_generation;
    m_done = nullptr;
    std::error_code ignored;
    m_deadline.cancel();
    m_watchdog.cancel();
    m_watching = false;
    m_resolver.cancel();
    m_socket.close(ignored);
    m_state = TAP_STATE::reset;
}

void ADAPTER::connect(DONE done) {
    close();
    const std::uint64_t generation = m_generation;
    auto self = shared_from_this();
    m_deadline.expires_after(std::chrono::milliseconds(m_timeout_ms));
    m_deadline.async_wait([this, self, generation](const std::error_code& error) {
        if (!error && generation == m_generation) {
            std::error_code ignored;
            m_resolver.cancel();
            m_socket.close(ignored);
        }
    });
    m_resolver.async_resolve(
        m_host, std::to_string(m_port),
        [this, self, generation, done](const std::error_code& error, asio::ip::tcp::resolver::results_type found) {
            if (generation != m_generation)
                return;
            if (error) {
                m_deadline.cancel();
                done("cannot resolve " + m_host + ": " + error.message());
                return;
            }
            asio::async_connect(m_socket, found,
                                [this, self, generation, done](const std::error_code& failure, const auto&) {
                                    if (generation != m_generation)
                                        return;
                                    m_deadline.cancel();
                                    if (failure) {
                                        std::error_code ignored;
                                        m_socket.close(ignored);
                                        done(failure == asio::error::operation_aborted ? "no answer in time"
                                                                                       : failure.message());
                                        return;
                                    }
                                    std::error_code ignored;
                                    m_socket.set_option(asio::ip::tcp::no_delay(true), ignored);
                                    m_state = TAP_STATE::reset;
                                    done({});
                                });
        });
}

void ADAPTER::transact(std::string request, std::function<bool(const std::string&)> complete,
                       std::function<void(const std::string& error, std::string reply)> done) {
    const std::uint64_t generation = ++m_generation;
    auto self = shared_from_this();
    if (!m_socket.is_open()) {
        asio::post(m_io, [done] { done("not connected", {}); });
        return;
    }
    m_reply.clear();
    m_complete = std::move(complete);
    m_done = std::move(done);
    m_written = false;
    m_replied = false;
    m_sent += request.size();
    m_due = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_timeout_ms);
    if (!m_watching)
        watch();
    auto buffer = std::make_shared<std::string>(std::move(request));
    asio::async_write(m_socket, asio::buffer(*buffer),
                      [this, self, generation, buffer](const std::error_code& error, std::size_t) {
                          if (generation != m_generation)
                              return;
                          if (error) {
                              finish(generation, error.message());
                              return;
                          }
                          m_written = true;
                          if (m_replied)
                              finish(generation, {});
                      });
    read_more(generation);
}

void ADAPTER::read_more(std::uint64_t generation) {
    auto self = shared_from_this();
    // One buffer serves every read: one transaction at a time, and a read
    // of a closed socket ends without touching it.
    m_socket.async_read_some(asio::buffer(m_chunk), [this, self, generation](const std::error_code& error,
                                                                            std::size_t size) {
        if (generation != m_generation)
            return;
        if (error) {
            finish(generation, error == asio::error::eof ? "the adapter closed the connection" : error.message());
            return;
        }
        m_reply.append(m_chunk.data(), size);
        const std::size_t limit = m_kind == ADAPTER_KIND::openocd ? k_max_tcl_reply : 1024 * 1024;
        if (m_reply.size() > limit) {
            finish(generation, "the adapter's reply is longer than " + std::to_string(limit) + " bytes");
            return;
        }
        if (!m_complete(m_reply)) {
            read_more(generation);
            return;
        }
        m_replied = true;
        if (m_written)
            finish(generation, {});
    });
}

void ADAPTER::watch() {
    m_watching = true;
    m_watchdog.expires_at(m_due);
    m_watchdog.async_wait([this, self = shared_from_this()](const std::error_code& error) {
        if (error || !m_watching)
            return;
        m_watching = false;
        if (!m_done)
            return;  // nothing outstanding: the next transaction arms it again
        if (std::chrono::steady_clock::now() >= m_due)
            finish(m_generation, "no answer within " + std::to_string(m_timeout_ms) + " ms");
        else
            watch();
    });
}

void ADAPTER::finish(std::uint64_t generation, const std::string& error) {
    if (generation != m_generation || !m_done)
        return;
    ++m_generation;
    auto done = std::move(m_done);
    m_done = nullptr;
    if (!error.empty()) {
        std::error_code ignored;
        m_socket.close(ignored);
    }
    done(error, error.empty() ? std::move(m_reply) : std::string());
}

void ADAPTER::list_taps(LISTED done) {
    transact(
        std::string("scan_chain") + k_tcl_end,
        [](const std::string& reply) { return !reply.empty() && reply.back() == k_tcl_end; },
        [done](const std::string& error, std::string reply) {
            std::vector<LISTED_TAP> taps;
            std::string problem = error;
            if (problem.empty()) {
                reply.pop_back();
                parse_scan_chain(reply, taps, problem);
            }
            done(problem, std::move(taps));
        });
}

void ADAPTER::run(const std::vector<SCAN>& scans, SCANNED done) {
    if (m_kind == ADAPTER_KIND::remote_bitbang) {
        TAP_STATE state = m_state;
        auto batch = std::make_shared<BITBANG_BATCH>(bitbang_requests(scans, m_taps, state));
        const std::size_t replies = batch->replies;
        std::string requests = batch->requests;
        transact(
            std::move(requests), [replies](const std::string& reply) { return reply.size() >= replies; },
            [this, batch, state, done](const std::string& error, std::string reply) {
                CAPTURED captured;
                std::string problem = error;
                if (problem.empty() && bitbang_captured(*batch, reply, captured, problem))
                    m_state = state;
                else
                    close();
                done(problem, std::move(captured));
            });
        return;
    }
    std::string script;
    std::string problem;
    if (!tcl_script(scans, m_taps, script, problem)) {
        asio::post(m_io, [done, problem] { done(problem, {}); });
        return;
    }
    std::vector<std::size_t> counts;
    for (const SCAN& scan : scans)
        if (scan.kind == SCAN::KIND::dr)
            counts.push_back(scan.bits.size());
    transact(
        script + k_tcl_end, [](const std::string& reply) { return !reply.empty() && reply.back() == k_tcl_end; },
        [this, done, counts](const std::string& error, std::string reply) {
            CAPTURED captured;
            std::string failure = error;
            if (failure.empty()) {
                reply.pop_back();
                if (reply.find(k_tcl_end) != std::string::npos)
                    failure = "OpenOCD answered more than was asked";
                else if (!counts.empty())
                    parse_drscan_replies(reply, counts, captured, failure);
                else if (reply.find_first_not_of(" \t\r\n") != std::string::npos)
                    failure = "OpenOCD: " + reply.substr(0, 200);
            }
            if (!failure.empty())
                close();
            done(failure, std::move(captured));
        });
}

}  // namespace jtag
