// Server address parsing: HOST:PORT and the environment override.
#include "wire/address.h"

#include <cstdlib>

#include <gtest/gtest.h>

using namespace wire;

#ifdef _WIN32
// The Windows C runtime sets and removes variables with _putenv_s.
static int setenv(const char* name, const char* value, int) { return _putenv_s(name, value); }
static int unsetenv(const char* name) { return _putenv_s(name, ""); }
#endif

TEST(ServerAddressParsing, AcceptsHostAndPort) {
    ServerAddress address;
    std::string error;
    ASSERT_TRUE(parse_address("127.0.0.1:0", address, error));
    EXPECT_EQ(address.host, "127.0.0.1");
    EXPECT_EQ(address.port, 0);
    ASSERT_TRUE(parse_address("[::1]:65535", address, error));
    EXPECT_EQ(address.host, "::1");
    EXPECT_EQ(address.port, 65535);
}

TEST(ServerAddressParsing, RejectsMalformedAddresses) {
    ServerAddress address;
    std::string error;
    for (const char* text : {"", "localhost", ":80", "host:", "host:65536", "host:8x", "host:-1",
                             "host:123456"})
        EXPECT_FALSE(parse_address(text, address, error)) << text;
}

TEST(ServerAddressParsing, EnvironmentOverridesDefault) {
    ServerAddress address;
    std::string error;
    ::unsetenv(k_server_variable);
    ASSERT_TRUE(server_address_from_environment(address, error));
    EXPECT_EQ(address.port, k_default_port);
    ::setenv(k_server_variable, "localhost:1234", 1);
    ASSERT_TRUE(server_address_from_environment(address, error));
    EXPECT_EQ(address.host, "localhost");
    EXPECT_EQ(address.port, 1234);
    ::setenv(k_server_variable, "nonsense", 1);
    EXPECT_FALSE(server_address_from_environment(address, error));
    EXPECT_NE(error.find(k_server_variable), std::string::npos);
    ::unsetenv(k_server_variable);
}
