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
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "jtag_corvex/socket.h"
#include "test-server.h"
#include "wire/messages.h"
#include "wire/secret.h"

namespace {

using namespace std::chrono_literals;

const char* const board = R"(
[[cable]]
name = "c"
[[cable.device]]
[[cable.device.uart]]
target = "loopback"
)";

/// A secret file for one test, and the client's variable pointing at it.
class SECRET_FILE {
public:
    explicit SECRET_FILE(const std::string& secret) {
        char path[] = "/tmp/jtag-secret-XXXXXX";
        const int fd = ::mkstemp(path);
        ::close(fd);
        m_path = path;
        std::ofstream(m_path) << secret << "\n";
    }
    ~SECRET_FILE() {
        ::unlink(m_path.c_str());
        ::unsetenv(wire::k_secret_variable);
    }
    const std::string& path() const { return m_path; }
    void use() const { ::setenv(wire::k_secret_variable, m_path.c_str(), 1); }

private:
    std::string m_path;
};

/// A bare connection that says what it is told to.
class RAW_CLIENT {
public:
    explicit RAW_CLIENT(const TEST_SERVER& server) {
        std::string error;
        m_socket = jcvx::connect_to("127.0.0.1", static_cast<std::uint16_t>(server.port()), 5000, error);
    }
    ~RAW_CLIENT() { jcvx::close_socket(m_socket); }
    bool connected() const { return m_socket != jcvx::k_no_socket; }
    void send(const std::vector<std::uint8_t>& bytes) { jcvx::send_all(m_socket, bytes.data(), bytes.size()); }
    void send(const std::string& text) { jcvx::send_all(m_socket, text.data(), text.size()); }
    /// Everything the server sends until it closes; false if it stays open.
    bool read_until_closed(std::string& received) {
        std::uint8_t buffer[4096];
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            const long got = jcvx::receive_some(m_socket, buffer, sizeof buffer, 200);
            if (got == jcvx::k_closed)
                return true;
            received.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(got));
        }
        return false;
    }
    /// The first complete frame of the given type, read within the guard time.
    bool read_frame(wire::FrameType type, std::string& payload) {
        std::uint8_t buffer[65536];
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            wire::FrameView frame;
            std::size_t consumed = 0;
            std::string error;
            while (wire::parse_frame(reinterpret_cast<const std::uint8_t*>(m_pending.data()), m_pending.size(), frame,
                                     consumed, error) == wire::ParseStatus::complete) {
                std::string body(reinterpret_cast<const char*>(frame.payload), frame.size);
                m_pending.erase(0, consumed);
                if (frame.type == type) {
                    payload = body;
                    return true;
                }
            }
            const long got = jcvx::receive_some(m_socket, buffer, sizeof buffer, 200);
            if (got == jcvx::k_closed)
                return false;
            m_pending.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(got));
        }
        return false;
    }

private:
    jcvx::socket_handle m_socket = jcvx::k_no_socket;
    std::string m_pending;
};

std::vector<std::uint8_t> frame_of(wire::FrameType type, const std::vector<std::uint8_t>& payload = {}) {
    std::vector<std::uint8_t> bytes;
    wire::append_frame(bytes, type, payload);
    return bytes;
}

/// The reason in the refused frame among `received`, or "" if there is none.
std::string refusal_in(const std::string& received) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(received.data());
    std::size_t pos = 0;
    for (;;) {
        wire::FrameView frame;
        std::size_t consumed = 0;
        std::string error, text;
        if (wire::parse_frame(data + pos, received.size() - pos, frame, consumed, error) != wire::ParseStatus::complete)
            return "";
        if (frame.type == wire::FrameType::refused && wire::decode_text(frame, text))
            return text;
        pos += consumed;
    }
}

/// Opens the UART through the library; on failure the code and text.
struct OPEN_RESULT {
    JTAGCORVEX* link = nullptr;
    int code = 0;
    std::string text;
};

OPEN_RESULT open_uart() {
    OPEN_RESULT result;
    result.link = jtagcorvex_open(nullptr, -1, -1, "security-test");
    if (result.link == nullptr) {
        const char* text = nullptr;
        result.code = jtagcorvex_get_error(&text);
        result.text = text != nullptr ? text : "";
    }
    return result;
}

bool echoes(JTAGCORVEX* link, const std::string& text) {
    if (jtagcorvex_write(link, text.data(), static_cast<unsigned>(text.size())) != static_cast<int>(text.size()))
        return false;
    std::string got;
    char buffer[64];
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (got.size() < text.size() && std::chrono::steady_clock::now() < deadline) {
        const int n = jtagcorvex_read(link, buffer, sizeof buffer);
        if (n < 0)
            return false;
        got.append(buffer, static_cast<std::size_t>(n));
        if (n == 0)
            std::this_thread::sleep_for(1ms);
    }
    return got == text;
}

/// Runs jtag-server with `args` to its end; its status and what it printed.
int run_server(const std::string& args, std::string& output) {
    std::FILE* pipe = ::popen((std::string(JTAG_SERVER_PATH) + " " + args + " 2>&1").c_str(), "r");
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        output += buffer;
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
    TEST_SERVER server(board, {"--secret-file", secret.path()});
    ASSERT_TRUE(server.running()) << server.error();

    // No secret: the library says why it was turned away.
    OPEN_RESULT none = open_uart();
    EXPECT_EQ(none.link, nullptr);
    EXPECT_EQ(none.code, -11);
    EXPECT_NE(none.text.find("refused the connection: this server asks for the shared secret first"),
              std::string::npos)
        << none.text;
    wrong.use();
    OPEN_RESULT refused = open_uart();
    EXPECT_EQ(refused.link, nullptr);
    EXPECT_NE(refused.text.find("wrong secret"), std::string::npos) << refused.text;

    secret.use();
    OPEN_RESULT opened = open_uart();
    ASSERT_NE(opened.link, nullptr) << opened.text;
    EXPECT_TRUE(echoes(opened.link, "let in"));
    std::string listing;
    EXPECT_EQ(server.chainprobe("", &listing), 0) << listing;
    EXPECT_NE(listing.find("security-test"), std::string::npos) << listing;

    // A request in place of the secret gets a refusal and a closed connection.
    RAW_CLIENT raw(server);
    raw.send(frame_of(wire::FrameType::list));
    std::string received;
    EXPECT_TRUE(raw.read_until_closed(received));
    EXPECT_EQ(refusal_in(received), "this server asks for the shared secret first");
    // The secret's holder was not disturbed.
    EXPECT_TRUE(echoes(opened.link, "still in"));
    jtagcorvex_close(opened.link);

    ::unsetenv(wire::k_secret_variable);
    EXPECT_NE(server.chainprobe("", &listing), 0);
}

TEST(ServerSecurity, SecretIsAcceptedWhereNoneIsAskedFor) {
    TEST_SERVER server(board);
    ASSERT_TRUE(server.running()) << server.error();
    SECRET_FILE secret("spare");
    secret.use();
    OPEN_RESULT opened = open_uart();
    ASSERT_NE(opened.link, nullptr) << opened.text;
    EXPECT_TRUE(echoes(opened.link, "open server"));
    jtagcorvex_close(opened.link);
}

TEST(ServerSecurity, HttpRequestsAreTurnedAwayWithoutAnAnswer) {
    TEST_SERVER server(board);
    ASSERT_TRUE(server.running()) << server.error();
    for (const char* request : {"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                                "POST /open HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3\r\n\r\nabc",
                                "\r\nHost: 127.0.0.1\r\n"}) {
        RAW_CLIENT browser(server);
        browser.send(std::string(request));
        std::string received;
        EXPECT_TRUE(browser.read_until_closed(received)) << request;
        EXPECT_EQ(received, "") << request;
    }
    OPEN_RESULT opened = open_uart();
    ASSERT_NE(opened.link, nullptr) << opened.text;
    EXPECT_TRUE(echoes(opened.link, "unharmed"));
    jtagcorvex_close(opened.link);
}

TEST(ServerSecurity, SilentClientsAreTimedOutButIdleSessionsAreNot) {
    TEST_SERVER server(board, {"--handshake-timeout", "0.3"});
    ASSERT_TRUE(server.running()) << server.error();
    OPEN_RESULT opened = open_uart();
    ASSERT_NE(opened.link, nullptr) << opened.text;

    RAW_CLIENT silent(server);
    std::string received;
    EXPECT_TRUE(silent.read_until_closed(received));
    EXPECT_EQ(refusal_in(received), "no request within 300 ms");

    // Half a frame is no request either.
    RAW_CLIENT halting(server);
    halting.send(std::string("JC\x01\x08", 4));
    received.clear();
    EXPECT_TRUE(halting.read_until_closed(received));

    // The session that opened long ago and sat idle is still served.
    std::this_thread::sleep_for(600ms);
    EXPECT_TRUE(echoes(opened.link, "idle but welcome"));
    jtagcorvex_close(opened.link);
}

TEST(ServerSecurity, GarbageClosesOnlyThatConnection) {
    TEST_SERVER server(board);
    ASSERT_TRUE(server.running()) << server.error();
    OPEN_RESULT opened = open_uart();
    ASSERT_NE(opened.link, nullptr) << opened.text;
    std::vector<std::unique_ptr<RAW_CLIENT>> garbage;
    unsigned seed = 12345;
    for (int i = 0; i < 20; ++i) {
        auto client = std::make_unique<RAW_CLIENT>(server);
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
    TEST_SERVER server(board, {"--max-clients", "4", "--handshake-timeout", "60"});
    ASSERT_TRUE(server.running()) << server.error();
    OPEN_RESULT opened = open_uart();
    ASSERT_NE(opened.link, nullptr) << opened.text;
    std::vector<std::unique_ptr<RAW_CLIENT>> waiting;
    for (int i = 0; i < 3; ++i)
        waiting.push_back(std::make_unique<RAW_CLIENT>(server));
    // Make sure the server has taken all of them before the next one.
    std::string listing;
    for (auto& client : waiting) {
        client->send(frame_of(wire::FrameType::list));
        EXPECT_TRUE(client->read_frame(wire::FrameType::list_reply, listing));
    }

    RAW_CLIENT fifth(server);
    std::string received;
    EXPECT_TRUE(fifth.read_until_closed(received));
    EXPECT_EQ(refusal_in(received), "too many clients (4); try again later");
    OPEN_RESULT another = open_uart();
    EXPECT_EQ(another.link, nullptr);
    EXPECT_NE(another.text.find("too many clients (4)"), std::string::npos) << another.text;

    EXPECT_TRUE(echoes(opened.link, "bound kept"));
    waiting.pop_back();  // one leaves: room for one more
    std::this_thread::sleep_for(200ms);
    RAW_CLIENT later(server);
    later.send(frame_of(wire::FrameType::list));
    EXPECT_TRUE(later.read_frame(wire::FrameType::list_reply, listing));
    jtagcorvex_close(opened.link);
}

TEST(ServerSecurity, ManyClientsAtOnceAreAllServed) {
    TEST_SERVER server(board);
    ASSERT_TRUE(server.running()) << server.error();
    std::vector<std::unique_ptr<RAW_CLIENT>> clients;
    for (int i = 0; i < 50; ++i) {
        clients.push_back(std::make_unique<RAW_CLIENT>(server));
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
    TEST_SERVER server(board);
    ASSERT_TRUE(server.running()) << server.error();
    std::string error;
    const auto greedy = jcvx::connect_to("127.0.0.1", static_cast<std::uint16_t>(server.port()), 5000, error);
    ASSERT_NE(greedy, jcvx::k_no_socket) << error;
    // 64 MiB of list requests whose replies are never read. Once a bounded
    // amount of replies is queued the server stops reading them, so the
    // sender blocks long before the end.
    std::vector<std::uint8_t> requests;
    for (int i = 0; i < 8192; ++i)
        wire::append_frame(requests, wire::FrameType::list, nullptr, 0);
    const std::size_t total = requests.size() * 1024;
    std::atomic<std::size_t> sent{0};
    std::thread flooder([&] {
        for (int round = 0; round < 1024; ++round) {
            if (!jcvx::send_all(greedy, requests.data(), requests.size()))
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
    OPEN_RESULT opened = open_uart();
    ASSERT_NE(opened.link, nullptr) << opened.text;
    EXPECT_TRUE(echoes(opened.link, "not starved"));
    jtagcorvex_close(opened.link);
    server.kill_hard();  // ends the flooder's blocked send
    flooder.join();
    jcvx::close_socket(greedy);
}

}  // namespace
