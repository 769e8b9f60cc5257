// Turns a HOST:PORT text into a TCP endpoint to listen on, and listens there.
#pragma once

#include <string>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

bool resolve_endpoint(asio::io_context& io, const std::string& text, asio::ip::tcp::endpoint& endpoint,
                      std::string& error);

/// "HOST:PORT" for printing, with IPv6 hosts in brackets.
std::string endpoint_text(const asio::ip::tcp::endpoint& endpoint);

/// Opens the acceptor on the endpoint and listens; the port can be taken
/// again at once after a restart (address reuse). The acceptor is closed
/// again on failure.
std::error_code listen_on(asio::ip::tcp::acceptor& acceptor, const asio::ip::tcp::endpoint& endpoint);
