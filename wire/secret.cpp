// The shared secret and the HTTP check.
#include "wire/secret.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "wire/messages.h"

namespace wire {

namespace {

/// False, with the fix in `error`, when others than the owner may read or
/// change the file: a secret anyone can read keeps nobody out.
bool is_private(const std::string& path, std::string& error) {
#ifndef _WIN32  // Windows reports no such bits; its files are kept private by their folders
    namespace fs = std::filesystem;
    std::error_code code;
    const fs::perms mode = fs::status(path, code).permissions();
    const fs::perms open_to_others =
        fs::perms::group_read | fs::perms::group_write | fs::perms::others_read | fs::perms::others_write;
    if (!code && (mode & open_to_others) != fs::perms::none) {
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & fs::perms::mask));
        error = path + ": the secret file may be read or changed by others (mode " + octal +
                "); make it private with: chmod 600 " + path;
        return false;
    }
#else
    (void)path;
    (void)error;
#endif
    return true;
}

}  // namespace

bool read_secret_file(const std::string& path, std::string& secret, std::string& error, bool private_only) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot read the secret file";
        return false;
    }
    if (private_only && !is_private(path, error))
        return false;
    secret.assign(std::istreambuf_iterator<char>(file), {});
    while (!secret.empty() && (secret.back() == '\n' || secret.back() == '\r' || secret.back() == ' ' ||
                               secret.back() == '\t'))
        secret.pop_back();
    if (secret.empty()) {
        error = path + ": the secret file is empty";
        return false;
    }
    if (secret.size() > k_max_text) {
        error = path + ": the secret is longer than " + std::to_string(k_max_text) + " bytes";
        return false;
    }
    return true;
}

bool secret_from_environment(std::string& secret, std::string& error) {
    secret.clear();
    const char* path = std::getenv(k_secret_variable);
    if (path == nullptr || *path == '\0')
        return true;
    if (!read_secret_file(path, secret, error)) {
        error = std::string(k_secret_variable) + ": " + error;
        return false;
    }
    return true;
}

bool secrets_equal(std::string_view expected, std::string_view presented) {
    // Every presented byte is compared, against the expected text repeated,
    // and the lengths are folded in: no early exit reveals a matching prefix.
    if (expected.empty())
        return false;
    unsigned difference = expected.size() == presented.size() ? 0u : 1u;
    for (std::size_t i = 0; i < presented.size(); ++i)
        difference |= static_cast<unsigned char>(presented[i]) ^
                      static_cast<unsigned char>(expected[i % expected.size()]);
    // Keep the compiler from turning the loop into an early exit.
    volatile unsigned result = difference;
    return result == 0;
}

namespace {

bool starts_with_method(std::string_view text) {
    for (std::string_view method : {"GET ", "POST ", "PUT ", "HEAD ", "DELETE ", "OPTIONS ", "PATCH ", "CONNECT ",
                                    "TRACE ", "PRI "}) {
        if (text.substr(0, method.size()) == method)
            return true;
    }
    return false;
}

bool has_host_header(std::string_view text) {
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (at != 0 && text[at - 1] != '\n')
            continue;
        std::string_view line = text.substr(at, 5);
        if (line.size() == 5 && (line[0] == 'H' || line[0] == 'h') && (line[1] == 'O' || line[1] == 'o') &&
            (line[2] == 'S' || line[2] == 's') && (line[3] == 'T' || line[3] == 't') && line[4] == ':')
            return true;
    }
    return false;
}

}  // namespace

bool looks_like_http(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    return starts_with_method(text) || has_host_header(text);
}

}  // namespace wire
