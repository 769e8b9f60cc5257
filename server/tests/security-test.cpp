// Who gets into a real jtag-server: its own user and root only unless the
// owner lets others in, loopback only unless allowed and secured, the shared
// secret (in a private file) before anything else, no HTTP, silent clients
// timed out, bounded clients and bounded replies, client names printed
// safely, and nobody else disturbed.
#include "jtag_corvex.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

/// A secret file for one test (private, as the server asks), and the
/// client's variable pointing at it.
class SECRET_FILE {
public:
    explicit SECRET_FILE(const std::string& secret) {
        m_dir.write("secret", secret + "\n");
        ::chmod(path().c_str(), 0600);
    }
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
    ::chmod(empty.path().c_str(), 0600);
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

/// `count` list requests, back to back.
std::string list_requests(int count) {
    std::string requests;
    const std::vector<std::uint8_t> list = frame_of(wire::FrameType::list);
    for (int i = 0; i < count; ++i)
        requests.append(list.begin(), list.end());
    return requests;
}

TEST(ServerSecurity, RequestsFromAClientThatNeverReadsAreHeldBack) {
    jtag_server server(board);
    raw_client greedy(server.port());
    ASSERT_TRUE(greedy.connected());
    // 64 MiB of list requests whose replies are never read. Once a bounded
    // amount of replies is queued the server stops reading them, so the
    // sender blocks long before the end.
    const std::string requests = list_requests(8192);
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

TEST(ServerSecurity, RepliesQueuedForAClientThatNeverReadsStayBounded) {
    // Four long cable names make each listing about 16 kB.
    std::string four_cables;
    for (int c = 0; c < 4; ++c)
        four_cables += cable_table("SimCable [sim-" + std::to_string(c) + "] " + std::string(4000, 'x'));
    jtag_server server(four_cables);
    const long before_kb = static_cast<long>(resident_kib(server.pid()));
    raw_client greedy(server.port());
    ASSERT_TRUE(greedy.connected());
    // 8,192 list requests in 64 kB, all there in one read, none answered.
    const std::string requests = list_requests(8192);
    ASSERT_TRUE(greedy.send(requests));
    // Another client is answered once the server has been through that read.
    std::this_thread::sleep_for(1s);
    raw_client other(server.port());
    other.send(frame_of(wire::FrameType::list));
    std::string listing;
    EXPECT_TRUE(other.read_frame(wire::FrameType::list_reply, listing));
    const long after_kb = static_cast<long>(resident_kib(server.pid()));
    // Replies beyond the 2 MiB cap wait as requests: a few MB (about 30
    // under AddressSanitizer, which keeps freed memory a while), not 130.
    EXPECT_LT(after_kb - before_kb, 64 * 1024) << "resident " << before_kb << " kB before, " << after_kb << " kB after";

    // The greedy client gets every answer once it reads.
    std::size_t answers = 0;
    wire::FrameReader incoming(64 * 1024);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (answers < 8192 && std::chrono::steady_clock::now() < deadline) {
        std::uint8_t* space = incoming.space();
        const long got = ::recv(greedy.fd(), space, incoming.space_size(), 0);
        if (got <= 0)
            break;
        incoming.received(static_cast<std::size_t>(got));
        wire::FrameView frame;
        std::string problem;
        while (incoming.next(frame, problem) == wire::ParseStatus::complete)
            answers += frame.type == wire::FrameType::list_reply ? 1 : 0;
        incoming.compact();
    }
    EXPECT_EQ(answers, 8192u);
}

TEST(ServerSecurity, ConnectionsWithoutTheSecretKeepNobodyOut) {
    SECRET_FILE secret("open sesame");
    jtag_server server(board, {"--secret-file", secret.path(), "--handshake-timeout", "60"});
    // 64 connections that never say anything: before, they took every place.
    std::vector<std::unique_ptr<raw_client>> silent;
    for (int i = 0; i < 64; ++i) {
        silent.push_back(std::make_unique<raw_client>(server.port()));
        ASSERT_TRUE(silent.back()->connected());
    }
    std::this_thread::sleep_for(200ms);
    secret.use();
    open_result opened = open_uart();
    ASSERT_NE(opened.link, nullptr) << opened.text;
    EXPECT_TRUE(echoes(opened.link, "let through"));
    std::string listing;
    EXPECT_EQ(server.chainprobe({}, &listing), 0) << listing;

    // The silent ones are gone well before the 60 s of the handshake: the
    // secret has a short deadline of its own.
    std::string received;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(silent.back()->read_until_closed(received, 20s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    EXPECT_EQ(refusal_in(received), "no secret within 3000 ms");
    EXPECT_TRUE(echoes(opened.link, "still served"));
    jtagcorvex_close(opened.link);
}

TEST(ServerSecurity, NoLargeFrameBeforeTheSecret) {
    SECRET_FILE secret("open sesame");
    jtag_server server(board, {"--secret-file", secret.path(), "--handshake-timeout", "60"});
    // An auth frame announcing 1 MiB, and the first bytes of it: the server
    // does not wait for (nor keep) the rest.
    std::vector<std::uint8_t> header;
    wire::append_header(header, wire::FrameType::auth, wire::k_max_payload);
    raw_client big(server.port());
    big.send(header);
    big.send(std::string(1000, 'a'));
    std::string received;
    EXPECT_TRUE(big.read_until_closed(received, 2s));
    EXPECT_TRUE(server.logged("a frame of 1048576 bytes before the secret")) << server.log();
    // A browser is still told apart from a large frame.
    raw_client browser(server.port());
    browser.send(std::string("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    received.clear();
    EXPECT_TRUE(browser.read_until_closed(received, 5s));
    EXPECT_EQ(received, "");
    EXPECT_TRUE(eventually([&server] { return server.log().find("an HTTP request") != std::string::npos; }, 5s))
        << server.log();
    // A client with the secret is still let in.
    secret.use();
    open_result opened = open_uart();
    ASSERT_NE(opened.link, nullptr) << opened.text;
    jtagcorvex_close(opened.link);
}

TEST(ServerSecurity, SecretFileOthersCanReadOrWriteIsRefused) {
    SECRET_FILE secret("not so secret");
    for (mode_t mode : {0644, 0640, 0620, 0602}) {
        ::chmod(secret.path().c_str(), mode);
        std::string output;
        EXPECT_EQ(run_server("--listen 127.0.0.1:0 --secret-file " + secret.path(), output), 1) << mode;
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
        EXPECT_NE(output.find("--secret-file: " + secret.path() + ": the secret file may be read or changed by "
                              "others (mode " + octal + "); make it private with: chmod 600 " + secret.path()),
                  std::string::npos)
            << output;
    }
    ::chmod(secret.path().c_str(), 0400);
    jtag_server server(board, {"--secret-file", secret.path()});
    // The client's copy of a shared secret is the owner's business.
    ::chmod(secret.path().c_str(), 0644);
    secret.use();
    open_result opened = open_uart();
    ASSERT_NE(opened.link, nullptr) << opened.text;
    jtagcorvex_close(opened.link);
}

TEST(ServerSecurity, ClientNamesReachOthersEscaped) {
    jtag_server server(board);
    const char* name = "x\x1b[2J\x1b]0;pwned\a\nFAKE LINE";
    const std::string shown = "x\\x1B[2J\\x1B]0;pwned\\x07\\x0AFAKE LINE";
    open_result holder = test_support::open_uart(nullptr, -1, -1, name);
    ASSERT_NE(holder.link, nullptr) << holder.text;
    // What the terminal reports with -6, and what chainprobe lists.
    open_result second = open_uart();
    EXPECT_EQ(second.link, nullptr);
    EXPECT_EQ(second.code, -6);
    EXPECT_EQ(second.text, "held by " + shown + " (pid " + std::to_string(::getpid()) + ")");
    std::string listing;
    EXPECT_EQ(server.chainprobe({}, &listing), 0);
    EXPECT_NE(listing.find("held by " + shown + " (pid "), std::string::npos) << listing;
    EXPECT_EQ(listing.find('\x1b'), std::string::npos) << listing;
    EXPECT_EQ(listing.find("\nFAKE"), std::string::npos) << listing;
    jtagcorvex_close(holder.link);
}

/// Where runuser is; empty when it is not there.
std::string runuser_program() {
    for (const char* path : {"/usr/sbin/runuser", "/sbin/runuser", "/usr/bin/runuser", "/bin/runuser"}) {
        if (::access(path, X_OK) == 0)
            return path;
    }
    return "";
}

/// Runs chainprobe as user nobody against `server` with `args`; its status
/// and what it printed. `env`: NAME=VALUE settings for it.
int chainprobe_as_nobody(const jtag_server& server, const std::vector<std::string>& args, std::string& output,
                         const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv{runuser_program(), "-u", "nobody", "--", "/usr/bin/env", server.address_setting()};
    argv.insert(argv.end(), env.begin(), env.end());
    argv.push_back(copy_others_can_run(chainprobe_program()));
    argv.insert(argv.end(), args.begin(), args.end());
    int status = -1;
    output = run_command(argv, {}, &status);
    return status;
}

/// Why a test that needs another local user cannot run here; empty when it can.
std::string no_other_user() {
    if (runuser_program().empty())
        return "runuser is missing: cannot run a client as another local user";
    if (::geteuid() != 0)
        return "not run as root: runuser cannot switch to user nobody";
    if (::getpwnam("nobody") == nullptr)
        return "there is no user nobody";
    return "";
}

TEST(ServerSecurity, OtherLocalUsersAreRefusedUnlessTheOwnerLetsThemIn) {
    const std::string why_not = no_other_user();
    if (!why_not.empty())
        GTEST_SKIP() << why_not;
    {
        jtag_server server(board);
        std::string output;
        EXPECT_NE(chainprobe_as_nobody(server, {"power", "c", "off"}, output), 0) << output;
        EXPECT_NE(output.find("this server serves only the user who started it (and root), not uid "),
                  std::string::npos)
            << output;
        EXPECT_NE(chainprobe_as_nobody(server, {}, output), 0) << output;
        // The owner (root here) needs nothing, and the board is still on.
        EXPECT_EQ(server.chainprobe({}, &output), 0) << output;
        EXPECT_NE(output.find("board on"), std::string::npos) << output;
        open_result opened = open_uart();
        ASSERT_NE(opened.link, nullptr) << opened.text;
        EXPECT_TRUE(echoes(opened.link, "owner served"));
        jtagcorvex_close(opened.link);
    }
    {
        // A server meant for every local user, as the system unit runs it.
        jtag_server server(board, {"--allow-local-users"});
        std::string output;
        EXPECT_EQ(chainprobe_as_nobody(server, {}, output), 0) << output;
        EXPECT_NE(output.find("instance 0: loopback"), std::string::npos) << output;
    }
    {
        // The secret lets in whoever has it, and only them.
        SECRET_FILE secret("shared with nobody");
        jtag_server server(board, {"--secret-file", secret.path()});
        temp_dir folder;
        ::chmod(folder.path().c_str(), 0755);
        folder.write("copy", "shared with nobody\n");
        const passwd* nobody = ::getpwnam("nobody");
        ASSERT_EQ(::chown(folder.file("copy").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        ::chmod(folder.file("copy").c_str(), 0600);
        std::string output;
        EXPECT_NE(chainprobe_as_nobody(server, {}, output), 0) << output;
        EXPECT_EQ(chainprobe_as_nobody(server, {}, output, {std::string(wire::k_secret_variable) + "=" +
                                                             folder.file("copy")}),
                  0)
            << output;
    }
}

}  // namespace
