// What keeps other people off a server that listens beyond loopback: the
// shared secret (read from a file, compared in constant time) and the check
// that turns away web browsers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace wire {

/// The environment variable naming the client's secret file.
constexpr const char* k_secret_variable = "JTAG_CORVEX_SECRET_FILE";

/// Reads a secret: the file's text without its trailing line end and blanks;
/// it must not be empty and at most the protocol's text length. With
/// `private_only` (the server's own secret) a file that its group or others
/// may read or write is refused, with the command that fixes it (POSIX hosts).
bool read_secret_file(const std::string& path, std::string& secret, std::string& error, bool private_only = false);

/// The client's secret from the file JTAG_CORVEX_SECRET_FILE names; an empty
/// secret when the variable is not set.
bool secret_from_environment(std::string& secret, std::string& error);

/// Compares secrets in time that depends on the presented length only, never
/// on where the texts differ.
bool secrets_equal(std::string_view expected, std::string_view presented);

/// True when the first bytes of a connection are an HTTP request: a request
/// line such as "GET /" or "POST /", or a "Host:" header.
bool looks_like_http(const std::uint8_t* data, std::size_t size);

}  // namespace wire
