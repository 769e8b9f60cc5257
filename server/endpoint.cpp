// Listening addresses: numeric hosts directly, names through the resolver.
#include "server/endpoint.h"

#include "wire/address.h"

bool resolve_endpoint(asio::io_context& io, const std::string& text, asio::ip::tcp::endpoint& endpoint,
                      std::string& error) {
    wire::ServerAddress address;
    if (!wire::parse_address(text, address, error))
        return false;
    std::error_code code;
    const asio::ip::address numeric = asio::ip::make_address(address.host, code);
    if (!code) {
        endpoint = asio::ip::tcp::endpoint(numeric, address.port);
        return true;
    }
    asio::ip::tcp::resolver resolver(io);
    const auto results = resolver.resolve(address.host, std::to_string(address.port), code);
    if (code || results.empty()) {
        error = "cannot resolve " + address.host + (code ? ": " + code.message() : "");
        return false;
    }
    endpoint = results.begin()->endpoint();
    return true;
}

std::string endpoint_text(const asio::ip::tcp::endpoint& endpoint) {
    const std::string host = endpoint.address().to_string();
    const bool v6 = endpoint.address().is_v6();
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(endpoint.port());
}

std::error_code listen_on(asio::ip::tcp::acceptor& acceptor, const asio::ip::tcp::endpoint& endpoint) {
    std::error_code code;
    acceptor.open(endpoint.protocol(), code);
    if (!code)
        acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), code);
    if (!code)
        acceptor.bind(endpoint, code);
    if (!code)
        acceptor.listen(asio::socket_base::max_listen_connections, code);
    if (code) {
        std::error_code ignored;
        acceptor.close(ignored);
    }
    return code;
}
