// The shared secret (file, environment, comparison), the auth and refused
// frames, and the HTTP check that turns browsers away.
#include "wire/secret.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/environment.h"
#include "tests/support/temp-dir.h"
#include "wire/messages.h"

namespace wire {
namespace {

using namespace test_support;

/// A file holding `contents` in the test's own folder.
std::string write_temp(const temp_dir& folder, const std::string& name, const std::string& contents) {
    folder.write(name, contents);
    return folder.file(name);
}

TEST(Secret, FileLosesItsLineEndOnly) {
    temp_dir folder;
    std::string secret, error;
    std::string path = write_temp(folder, "secret", "  s3cret with blanks\t\r\n\n");
    ASSERT_TRUE(read_secret_file(path, secret, error)) << error;
    EXPECT_EQ(secret, "  s3cret with blanks");
}

TEST(Secret, EmptyMissingAndOverlongFilesAreRefused) {
    temp_dir folder;
    std::string secret, error;
    std::string empty = write_temp(folder, "empty", " \n");
    EXPECT_FALSE(read_secret_file(empty, secret, error));
    EXPECT_NE(error.find("empty"), std::string::npos) << error;
    EXPECT_FALSE(read_secret_file("/nonexistent/secret", secret, error));
    EXPECT_NE(error.find("/nonexistent/secret"), std::string::npos) << error;
    std::string overlong = write_temp(folder, "overlong", std::string(k_max_text + 1, 'x'));
    EXPECT_FALSE(read_secret_file(overlong, secret, error));
    std::string longest = write_temp(folder, "longest", std::string(k_max_text, 'x'));
    EXPECT_TRUE(read_secret_file(longest, secret, error));
}

TEST(Secret, EnvironmentNamesTheFileOrNothing) {
    temp_dir folder;
    std::string secret = "stale", error;
    unset_environment(k_secret_variable);
    ASSERT_TRUE(secret_from_environment(secret, error));
    EXPECT_EQ(secret, "");
    std::string path = write_temp(folder, "secret", "from-env\n");
    set_environment(k_secret_variable, path.c_str());
    ASSERT_TRUE(secret_from_environment(secret, error)) << error;
    EXPECT_EQ(secret, "from-env");
    set_environment(k_secret_variable, "/nonexistent/secret");
    EXPECT_FALSE(secret_from_environment(secret, error));
    EXPECT_NE(error.find(k_secret_variable), std::string::npos) << error;
    unset_environment(k_secret_variable);
}

TEST(Secret, ComparisonNeedsEveryByteAndTheLength) {
    EXPECT_TRUE(secrets_equal("abcdef", "abcdef"));
    EXPECT_FALSE(secrets_equal("abcdef", "abcdeg"));
    EXPECT_FALSE(secrets_equal("abcdef", "bbcdef"));
    EXPECT_FALSE(secrets_equal("abcdef", "abcde"));
    EXPECT_FALSE(secrets_equal("abcdef", "abcdefabcdef"));  // the expected text repeated
    EXPECT_FALSE(secrets_equal("abcdef", ""));
    EXPECT_FALSE(secrets_equal("", ""));  // no secret is never a match
    EXPECT_TRUE(secrets_equal(std::string("a\0b", 3), std::string("a\0b", 3)));
    EXPECT_FALSE(secrets_equal(std::string("a\0b", 3), std::string("a\0c", 3)));
}

TEST(Secret, AuthAndRefusedFramesCarryOneText) {
    std::vector<std::uint8_t> bytes;
    append_frame(bytes, FrameType::auth, encode_text("open sesame"));
    FrameView frame;
    std::size_t consumed = 0;
    std::string error, text;
    ASSERT_EQ(parse_frame(bytes.data(), bytes.size(), frame, consumed, error), ParseStatus::complete) << error;
    ASSERT_TRUE(decode_text(frame, text));
    EXPECT_EQ(text, "open sesame");
    frame.size -= 1;  // a text cut short
    EXPECT_FALSE(decode_text(frame, text));
    frame.type = FrameType::ack;
    EXPECT_FALSE(decode_text(frame, text));
}

bool http(const std::string& text) {
    return looks_like_http(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

TEST(HttpCheck, RequestLinesAndHostHeadersAreRecognised) {
    EXPECT_TRUE(http("GET / HTTP/1.1\r\n"));
    EXPECT_TRUE(http("POST /api HTTP/1.1\r\nContent-Type: text/plain\r\n"));
    EXPECT_TRUE(http("OPTIONS * HTTP/1.1\r\n"));
    EXPECT_TRUE(http("GET "));
    EXPECT_TRUE(http("\r\nHost: 127.0.0.1:47113\r\n"));
    EXPECT_TRUE(http("X-Thing: 1\nhost: evil.example\n"));
    EXPECT_FALSE(http("JC\x01\x01"));
    EXPECT_FALSE(http("GE"));
    EXPECT_FALSE(http("GETS /"));
    EXPECT_FALSE(http("Ghost: not at a line start"));
    EXPECT_FALSE(http(""));
}

}  // namespace
}  // namespace wire
