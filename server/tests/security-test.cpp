// Who gets into a real jtag-server: loopback only unless allowed and secured,
// the shared secret before anything else, no HTTP, silent clients timed out,
// bounded clients and bounded replies, and nobody else disturbed.
#include "jtag_corvex.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/boards.h"
#include "tests/support/jtag-server-process.h"
#include "tests/support/library-client.h"
#include "tests/support/raw-client.h"
#include "tests/support/temp-dir.h"
#include "wire/messages.h"
#include "wire/secret.h"

namespace {

using namespace std::chrono_literals;
using namespace test_support;

const std::string board = one_uart_board(LOOPBACK_TARGET, "", "c");

/// A secret file for one test, and the client's variable pointing at it.
class SECRET_FILE {
public:
    explicit SECRET_FILE(const std::string& secret) { m_dir.write("secret", secret + "\n"); }
    ~SECRET_FILE() { ::unsetenv(wire::k_secret_variable); }
    std::string path() const { return m_dir.file("secret"); }
    void use() const { ::setenv(wire::k_secret_variable, path().c_str(), 1); }

private:
    temp_dir m_dir;
};

open_result open_uart() {
    return test_support::open_uart(nullptr, -1, -1, "security-test");
}

/// Runs jtag-server with `args` (words separated by blanks) to its end; its
/// status and what it printed.
int run_server(const std::string& args, std::string& output) {
    std::vector<std::string> argv{server_program()};
    std::istringstream words(args);
    for (std::string word; words >> word;) argv.push_back(word);
    int status = -1;
    output = run_command(argv, {}, &status);
    return status;
}

TEST(ServerSecurity, ListensBeyondLoopbackOnlyWhenAllowedAndWithASecret) {
    std::string output;
    EXPECT_EQ(run_server("--listen 0.0.0.0:0", output), 1);
    EXPECT_NE(output.find("0.0.0.0:0 is not a loopback address; listening elsewhere needs --allow-remote and "
                          "--secret-file"),
              std::string::npos)
        << output;
    output.clear();
    EXPECT_EQ(run_server("--listen 0.0.0.0:0 --allow-remote", output), 1);
    EXPECT_NE(output.find("--allow-remote needs --secret-file"), std::string::npos) << output;
    output.clear();
    EXPECT_EQ(run_server("--listen 0.0.0.0:0 --allow-remote --secret-file /nonexistent/secret", output), 1);
    EXPECT_NE(output.find("/nonexistent/secret: cannot read the secret file"), std::string::npos) << output;
    output.clear();
    SECRET_FILE empty("");
    EXPECT_EQ(run_server("--listen 127.0.0.1:0 --secret-file " + empty.path(), output), 1);
    EXPECT_NE(output.find("the secret file is empty"), std::string::npos) << output;
}

TEST(ServerSecurity, SecretComesBeforeAnythingElse) {
    SECRET_FILE secret("correct horse battery staple");
    SECRET_FILE wrong("correct horse battery stapler");
    jtag_server server(board, {"--secret-file", secret.path()});

    // No secret: the library says why it was turned away.
    open_result none = open_uart();
    EXPECT_EQ(none.link, nullptr);
    EXPECT_EQ(none.code, -11);
    EXPECT_NE(none.text.find("refused the connection: this server asks for the shared secret first"),
              std::string::npos)
        << none.text;
    wrong.use();
    open_result refused = open_uart();
    EXPECT_EQ(refused.link, nullptr);
    EXPECT_NE(refused.text.find("wrong secret"), std::string::npos) << refused.text;

    secret.use();
    open_result opened = open_uart();
    ASSERT_NE(opened.link, nullptr) << opened.text;
    EXPECT_TRUE(echoes(opened.link, "let in"));
    std::string listing;
    EXPECT_EQ(server.chainprobe({}, &listing), 0) << listing;
    EXPECT_NE(listing.find("security-test"), std::string::npos) << listing;

    // A request in place of the secret gets a refusal and a closed connection.
    raw_client raw(server.port());
    raw.send(frame_of(wire::FrameType::list));
    std::string received;
    EXPECT_TRUE(raw.read_until_closed(received));
    EXPECT_EQ(refusal_in(received), "this server asks for the shared secret first");
    // The secret's holder was not disturbed.
    EXPECT_TRUE(echoes(opened.link, "still in"));
    jtagcorvex_close(opened.link);

    ::unsetenv(wire::k_secret_variable);
    EXPECT_NE(server.chainprobe({}, &listing), 0);
}

TEST(ServerSecurity, SecretIsAcceptedWhereNoneIsAskedFor) {
    jtag_server server(board);
    SECRET_FILE secret("spare");
    secret.use();
    open_result opened = open_uart();
    ASSERT_NE(opened.link, nullptr) << opened.text;
    EXPECT_TRUE(echoes(opened.link, "open server"));
    jtagcorvex_close(opened.link);
}

TEST(ServerSecurity, HttpRequestsAreTurnedAwayWithoutAnAnswer) {
    jtag_server server(board);
    for (const char* request : {"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                                "POST /open HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3\r\n\r\nabc",
                                "\r\nHost: 127.0.0.1\r\n"}) {
        raw_client browser(server.port());
        browser.send(std::string(request));
        std::string received;
        EXPECT_TRUE(browser.read_until_closed(received)) << request;
        EXPECT_EQ(received, "") << request;
    }
    open_result opened = open_uart();
    ASSERT_NE(opened.link, nullptr) << opened.text;
    EXPECT_TRUE(echoes(opened.link, "unharmed"));
    jtagcorvex_close(opened.link);
}

TEST(ServerSecurity, SilentClientsAreTimedOutButIdleSessionsAreNot) {
    jtag_server server(board, {"--handshake-timeout", "0.3"});
    open_result opened = open_uart();
    ASSERT_NE(opened.link, nullptr) << opened.text;

    raw_client silent(server.port());
    std::string received;
    EXPECT_TRUE(silent.read_until_closed(received));
    EXPECT_EQ(refusal_in(received), "no request within 300 ms");

    // Half a frame is no request either.
    raw_client halting(server.port());
    halting.send(std::string("JC\x01\x08", 4));
    received.clear();
    EXPECT_TRUE(halting.read_until_closed(received));

    // The session that opened long ago and sat idle is still served.
    std::this_thread::sleep_for(600ms);
    EXPECT_TRUE(echoes(opened.link, "idle but welcome"));
    jtagcorvex_close(opened.link);
}

TEST(ServerSecurity, GarbageClosesOnlyThatConnection) {
    jtag_server server(board);
    open_result opened = open_uart();
    ASSERT_NE(opened.link, nullptr) << opened.text;
    std::vector<std::unique_ptr<raw_client>> garbage;
    unsigned seed = 12345;
    for (int i = 0; i < 20; ++i) {
        auto client = std::make_unique<raw_client>(server.port());
        std::string noise;
        for (int k = 0; k < 1000; ++k) {
            seed = seed * 1103515245u + 12345u;
            noise.push_back(static_cast<char>(seed >> 16));
        }
        if (i % 2 == 0)
            noise.insert(0, "JC\x01");  // a plausible start, then nonsense
        client->send(noise);
        garbage.push_back(std::move(client));
    }
    for (auto& client : garbage) {
        std::string received;
        EXPECT_TRUE(client->read_until_closed(received));
    }
    EXPECT_TRUE(echoes(opened.link, "through the noise"));
    jtagcorvex_close(opened.link);
}

TEST(ServerSecurity, ClientsBeyondTheBoundAreRefusedClearly) {
    jtag_server server(board, {"--max-clients", "4", "--handshake-timeout", "60"});
    open_result opened = open_uart();
    ASSERT_NE(opened.link, nullptr) << opened.text;
    std::vector<std::unique_ptr<raw_client>> waiting;
    for (int i = 0; i < 3; ++i)
        waiting.push_back(std::make_unique<raw_client>(server.port()));
    // Make sure the server has taken all of them before the next one.
    std::string listing;
    for (auto& client : waiting) {
        client->send(frame_of(wire::FrameType::list));
        EXPECT_TRUE(client->read_frame(wire::FrameType::list_reply, listing));
    }

    raw_client fifth(server.port());
    std::string received;
    EXPECT_TRUE(fifth.read_until_closed(received));
    EXPECT_EQ(refusal_in(received), "too many clients (4); try again later");
    open_result another = open_uart();
    EXPECT_EQ(another.link, nullptr);
    EXPECT_NE(another.text.find("too many clients (4)"), std::string::npos) << another.text;

    EXPECT_TRUE(echoes(opened.link, "bound kept"));
    waiting.pop_back();  // one leaves: room for one more
    std::this_thread::sleep_for(200ms);
    raw_client later(server.port());
    later.send(frame_of(wire::FrameType::list));
    EXPECT_TRUE(later.read_frame(wire::FrameType::list_reply, listing));
    jtagcorvex_close(opened.link);
}

TEST(ServerSecurity, ManyClientsAtOnceAreAllServed) {
    jtag_server server(board);
    std::vector<std::unique_ptr<raw_client>> clients;
    for (int i = 0; i < 50; ++i) {
        clients.push_back(std::make_unique<raw_client>(server.port()));
        ASSERT_TRUE(clients.back()->connected());
    }
    for (auto& client : clients)
        client->send(frame_of(wire::FrameType::list));
    int answered = 0;
    std::string listing;
    for (auto& client : clients)
        answered += client->read_frame(wire::FrameType::list_reply, listing) ? 1 : 0;
    EXPECT_EQ(answered, 50);
}

TEST(ServerSecurity, RequestsFromAClientThatNeverReadsAreHeldBack) {
    jtag_server server(board);
    raw_client greedy(server.port());
    ASSERT_TRUE(greedy.connected());
    // 64 MiB of list requests whose replies are never read. Once a bounded
    // amount of replies is queued the server stops reading them, so the
    // sender blocks long before the end.
    std::string requests;
    const std::vector<std::uint8_t> list = frame_of(wire::FrameType::list);
    for (int i = 0; i < 8192; ++i)
        requests.append(list.begin(), list.end());
    const std::size_t total = requests.size() * 1024;
    std::atomic<std::size_t> sent{0};
    std::thread flooder([&] {
        for (int round = 0; round < 1024; ++round) {
            if (!greedy.send(requests))
                return;
            sent += requests.size();
        }
    });
    // Wait until the sender has stopped moving (it is blocked), with a guard.
    std::size_t seen = 0;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    do {
        seen = sent;
        std::this_thread::sleep_for(1s);
    } while (sent != seen && sent < total && std::chrono::steady_clock::now() < deadline);
    EXPECT_LT(sent.load(), total) << "the server read every request while none of the replies went out";

    // Everybody else is served meanwhile.
    open_result opened = open_uart();
    ASSERT_NE(opened.link, nullptr) << opened.text;
    EXPECT_TRUE(echoes(opened.link, "not starved"));
    jtagcorvex_close(opened.link);
    server.kill_now();  // ends the flooder's blocked send
    flooder.join();
}

}  // namespace
