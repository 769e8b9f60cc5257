// Server address parsing: HOST:PORT and the environment override.
#include "wire/address.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/support/environment.h"

using namespace wire;


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
    test_support::unset_environment(k_server_variable);
    ASSERT_TRUE(server_address_from_environment(address, error));
    EXPECT_EQ(address.port, k_default_port);
    test_support::set_environment(k_server_variable, "localhost:1234");
    ASSERT_TRUE(server_address_from_environment(address, error));
    EXPECT_EQ(address.host, "localhost");
    EXPECT_EQ(address.port, 1234);
    test_support::set_environment(k_server_variable, "nonsense");
    EXPECT_FALSE(server_address_from_environment(address, error));
    EXPECT_NE(error.find(k_server_variable), std::string::npos);
    test_support::unset_environment(k_server_variable);
}
