// jtag-server on real chains under the conditions of real benches.
// Exactly once across lost replies: a proxy between jtag-server and its
// adapter (jtag-board-sim over remote_bitbang, or OpenOCD's TCL port) lets a
// transaction that commits a scan reach the chain, throws its reply away and
// cuts the connection, again and again. Target output must reach the client
// exactly once and in order; host bytes must reach the CPU never twice. And
// OpenOCD shared with another client, and a board that dies behind it.
#include <poll.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "hardware/tests/board-sim-support.h"
#include "jtag/tap-state.h"
#include "tests/support/jtag-server-process.h"
#include "tests/support/library-client.h"
#include "tests/support/loopback.h"
#include "tests/support/temp-dir.h"

using namespace std::chrono_literals;
using namespace test_support;

namespace {

/// Does a chunk of the server's requests commit a scan? Kept across chunks.
class COMMIT_SPOTTER {
public:
    explicit COMMIT_SPOTTER(bool openocd) : m_openocd(openocd) {}
    bool commits(const char* data, std::size_t size) {
        if (m_openocd)
            return std::string_view(data, size).find("pathmove DRPAUSE DREXIT2 DRSHIFT") != std::string_view::npos;
        bool found = false;
        for (std::size_t i = 0; i < size; ++i) {
            if (data[i] < '0' || data[i] > '7')
                continue;
            const int pins = data[i] - '0';
            const bool tck = pins & 4;
            if (tck && !m_tck) {
                const jtag::TAP_STATE before = m_state;
                m_state = jtag::next_state(m_state, pins & 2);
                // Pause-DR, Exit2-DR, Shift-DR: the one bit that commits a paused scan.
                if (before == jtag::TAP_STATE::exit2_dr && m_state == jtag::TAP_STATE::shift_dr)
                    m_resumed = true;
                if (m_state == jtag::TAP_STATE::update_dr) {
                    found = found || m_resumed;
                    m_resumed = false;
                }
            }
            m_tck = tck;
        }
        return found;
    }

private:
    bool m_openocd;
    jtag::TAP_STATE m_state = jtag::TAP_STATE::reset;
    bool m_tck = false;
    bool m_resumed = false;
};

/// Forwards one client at a time to `upstream`; after the commit numbers in
/// `cuts` have reached the chain, drops the reply and both connections.
class CUTTING_PROXY {
public:
    CUTTING_PROXY(int upstream, bool openocd, std::vector<int> cuts)
        : m_upstream(upstream), m_openocd(openocd), m_cuts(std::move(cuts)),
          m_server([this](LOOPBACK_SERVER& server) { serve(server); }) {}
    int port() const { return m_server.port(); }
    int cuts_made() const { return m_made; }

private:
    void serve(LOOPBACK_SERVER& server) {
        COMMIT_SPOTTER spotter(m_openocd);
        int commits = 0;
        while (!server.stopping()) {
            const int client = server.accept_client();
            if (client < 0)
                return;
            const int adapter = connect_loopback(m_upstream);
            spotter = COMMIT_SPOTTER(m_openocd);  // a new connection starts with a reset
            bool open = adapter >= 0;
            while (open && !server.stopping()) {
                pollfd fds[2] = {{client, POLLIN, 0}, {adapter, POLLIN, 0}};
                if (::poll(fds, 2, 100) <= 0)
                    continue;
                char buffer[65536];
                if (fds[0].revents) {
                    const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
                    open = got > 0 && ::send(adapter, buffer, static_cast<std::size_t>(got), MSG_NOSIGNAL) == got;
                    if (open && spotter.commits(buffer, static_cast<std::size_t>(got)) &&
                        std::find(m_cuts.begin(), m_cuts.end(), ++commits) != m_cuts.end()) {
                        swallow_reply(adapter);
                        ++m_made;
                        open = false;
                    }
                }
                if (open && fds[1].revents) {
                    const ssize_t got = ::recv(adapter, buffer, sizeof buffer, 0);
                    open = got > 0 && ::send(client, buffer, static_cast<std::size_t>(got), MSG_NOSIGNAL) == got;
                }
            }
            if (adapter >= 0)
                ::close(adapter);
            ::close(client);
        }
    }
    /// Waits until the adapter has answered the whole transaction (it has
    /// run), and throws the answer away.
    void swallow_reply(int server) const {
        std::string reply;
        const auto give_up = std::chrono::steady_clock::now() + 3s;
        while (std::chrono::steady_clock::now() < give_up) {
            pollfd fd{server, POLLIN, 0};
            if (::poll(&fd, 1, m_openocd ? 200 : 50) <= 0) {
                if (!m_openocd && !reply.empty())
                    return;  // remote_bitbang: quiet after the fence's reply
                continue;
            }
            char buffer[4096];
            const ssize_t got = ::recv(server, buffer, sizeof buffer, 0);
            if (got <= 0)
                return;
            reply.append(buffer, static_cast<std::size_t>(got));
            if (m_openocd && reply.find('\x1a') != std::string::npos)
                return;
        }
    }

    int m_upstream;
    bool m_openocd;
    std::vector<int> m_cuts;
    std::atomic<int> m_made{0};
    LOOPBACK_SERVER m_server;  // last: its thread uses the members above
};

/// Sanitizer builds of the board and the server move far less in the same
/// time: they stream a quarter as much, and see fewer cuts.
#ifdef TT_SANITIZED
constexpr int k_scale = 4;
constexpr int k_min_cuts = 2;
#else
constexpr int k_scale = 1;
constexpr int k_min_cuts = 3;
#endif

/// Commits after which the proxy cuts: a few, spread over the transfer.
const std::vector<int> k_cuts = {12, 31, 57, 90, 130, 181};

std::string cable_through(const std::string& adapter, int port) {
    return "[[cable]]\nname = \"SimJTAG [real]\"\nadapter = \"" + adapter + "\"\naddress = \"127.0.0.1:" +
           std::to_string(port) + "\"\n";
}

/// Opens device 2 instance 0, retrying while the cable is down.
JTAGCORVEX* open_again() {
    open_result opened;
    eventually([&] {
        opened = open_uart(nullptr, 2, 0);
        return opened.link != nullptr;
    }, 60s);
    if (opened.link != nullptr)
        jtagcorvex_wait_open(opened.link);
    return opened.link;
}

/// Both adapters: straight to the board, and through OpenOCD.
class LostReplies : public testing::TestWithParam<bool> {
protected:
    /// The chain as the server reaches it, with the proxy in front.
    void start(const std::vector<std::string>& board_args) {
        m_board = std::make_unique<board_sim>(board_args);
        int upstream = m_board->port();
        if (GetParam()) {
            const int tcl = free_port();
            std::vector<std::string> commands = k_board_taps;
            commands.push_back("init");
            m_openocd = std::make_unique<openocd_process>(m_board->port(), commands, tcl);
            ::close(m_openocd->connect_tcl());
            upstream = tcl;
        }
        m_proxy = std::make_unique<CUTTING_PROXY>(upstream, GetParam(), k_cuts);
        m_server = std::make_unique<jtag_server>(cable_through(GetParam() ? "openocd" : "remote_bitbang",
                                                               m_proxy->port()));
    }
    std::unique_ptr<board_sim> m_board;
    std::unique_ptr<openocd_process> m_openocd;
    std::unique_ptr<CUTTING_PROXY> m_proxy;
    std::unique_ptr<jtag_server> m_server;
};

TEST_P(LostReplies, TargetOutputReachesTheClientExactlyOnceAndInOrder) {
    if (GetParam())
        NEED_OPENOCD();
    const int lines = (GetParam() ? 6000 : 20000) / k_scale;
    start({"--uart", "exec:seq 1 " + std::to_string(lines) + "; sleep 120"});
    const std::string expected = run_command({"/bin/sh", "-c", "seq 1 " + std::to_string(lines)});
    std::string got;
    JTAGCORVEX* link = open_again();
    ASSERT_NE(link, nullptr);
    const auto give_up = std::chrono::steady_clock::now() + 150s;
    char buffer[4096];
    while (got.size() < expected.size() && std::chrono::steady_clock::now() < give_up) {
        const int n = jtagcorvex_read(link, buffer, sizeof buffer);
        const std::string part(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
        // A fault shows as 0xFF, as from a floating data line: open again.
        const std::size_t fault = part.find('\xff');
        got += part.substr(0, fault);
        if (n < 0 || fault != std::string::npos) {
            jtagcorvex_close(link);
            link = open_again();
            ASSERT_NE(link, nullptr) << m_server->log();
        } else if (n == 0) {
            std::this_thread::sleep_for(1ms);
        }
    }
    jtagcorvex_close(link);
    EXPECT_GE(m_proxy->cuts_made(), k_min_cuts) << m_server->log();
    ASSERT_EQ(got.size(), expected.size()) << m_server->log();
    const auto at =
        static_cast<std::size_t>(std::mismatch(got.begin(), got.end(), expected.begin()).first - got.begin());
    EXPECT_TRUE(got == expected) << "the stream differs from byte " << at << ": "
                                 << escaped(got.substr(at > 40 ? at - 40 : 0, 120)) << " instead of "
                                 << escaped(expected.substr(at > 40 ? at - 40 : 0, 120));
}

/// Numbered lines "1\n" .. "N\n", so that a line doubled or out of order shows.
std::string numbered_lines(int lines) {
    std::string data;
    for (int i = 1; i <= lines; ++i)
        data += std::to_string(i) + "\n";
    return data;
}

/// Writes all of `data` to device 2 instance `instance` of a UART whose
/// CPU sends nothing, opening it again after each fault (counted in
/// `faults`); false when it could not in the guard time.
bool write_through_faults(const std::string& data, int instance, int& faults, std::chrono::seconds guard = 150s) {
    faults = 0;
    const auto reopen = [instance] {
        open_result opened;
        eventually([&] {
            opened = open_uart(nullptr, 2, instance);
            return opened.link != nullptr;
        }, 60s);
        if (opened.link != nullptr)
            jtagcorvex_wait_open(opened.link);
        return opened.link;
    };
    JTAGCORVEX* link = reopen();
    std::size_t sent = 0;
    char buffer[256];
    const auto give_up = std::chrono::steady_clock::now() + guard;
    while (link != nullptr && sent < data.size() && std::chrono::steady_clock::now() < give_up) {
        const int n = jtagcorvex_write(link, data.data() + sent,
                                       static_cast<unsigned>(std::min<std::size_t>(data.size() - sent, 512)));
        const int r = jtagcorvex_read(link, buffer, sizeof buffer);
        if (n < 0 || r != 0) {  // the CPU sends nothing: any byte read is a fault's
            jtagcorvex_close(link);
            link = reopen();
            ++faults;
            continue;
        }
        sent += static_cast<std::size_t>(n);
        if (n == 0)
            std::this_thread::sleep_for(1ms);
    }
    if (link != nullptr)
        jtagcorvex_close(link);
    return sent == data.size();
}

/// What a sink wrote, once it ends with `last` (or after the guard time).
std::string sink_contents(const std::string& sink, const std::string& last, std::chrono::seconds guard = 60s) {
    std::string received;
    eventually([&] {
        std::ifstream file(sink, std::ios::binary);
        received.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        return received.size() >= last.size() && received.compare(received.size() - last.size(), last.size(), last) == 0;
    }, guard);
    return received;
}

/// How `received` came from `sent`: pieces of it in order, with gaps where
/// bytes were lost. The number of gaps, or -1 with `problem` where a byte
/// came twice or out of order.
int gaps_in(const std::string& sent, const std::string& received, std::string& problem) {
    constexpr std::size_t k_probe = 16;  // long enough to be found once in numbered lines
    std::size_t at = 0;
    int gaps = 0;
    for (std::size_t got = 0; got < received.size();) {
        if (at < sent.size() && sent[at] == received[got]) {
            ++at;
            ++got;
            continue;
        }
        const std::string next = received.substr(got, k_probe);
        const std::size_t found = sent.find(next, at);
        if (found == std::string::npos) {
            problem = "byte " + std::to_string(got) + " (" + escaped(received.substr(got, 40)) +
                      ") does not follow what came before: doubled or out of order";
            return -1;
        }
        at = found;
        ++gaps;
    }
    return gaps;
}

TEST_P(LostReplies, HostBytesReachTheCpuNeverTwice) {
    if (GetParam())
        NEED_OPENOCD();
    temp_dir dir;
    const std::string sink = dir.path() + "/received";
    start({"--uart", "exec:cat > " + sink});
    const int lines = (GetParam() ? 3000 : 12000) / k_scale;
    const std::string data = numbered_lines(lines);
    int faults = 0;
    ASSERT_TRUE(write_through_faults(data, 0, faults)) << m_server->log();
    const std::string received = sink_contents(sink, std::to_string(lines) + "\n");
    EXPECT_GE(m_proxy->cuts_made(), k_min_cuts) << m_server->log();
    std::string problem;
    const int gaps = gaps_in(data, received, problem);
    ASSERT_GE(gaps, 0) << problem << "\n" << m_server->log();
    // Bytes the library had not yet handed to the server at a fault (a cut,
    // or a reply late on a loaded machine) may be lost, nothing else.
    EXPECT_LE(gaps, faults) << m_server->log();
    EXPECT_GE(received.size() + 1024 * std::size_t(faults), data.size()) << m_server->log();
}

INSTANTIATE_TEST_SUITE_P(Adapters, LostReplies, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "ThroughOpenOcd" : "RemoteBitbang";
                         });


/// An OpenOCD shared with another TCL client that selects other
/// instructions (another UART's, BYPASS) between the server's commands:
/// the bytes written to one UART never reach another UART's CPU.
TEST(SharedOpenOcd, AnotherClientsInstructionsNeverMisrouteBytes) {
    NEED_OPENOCD();
    temp_dir dir;
    const std::string sinks[2] = {dir.path() + "/uart0", dir.path() + "/uart1"};
    board_sim board({"--uart", "exec:cat > " + sinks[0], "--uart", "exec:cat > " + sinks[1]});
    const int tcl = free_port();
    std::vector<std::string> commands = k_board_taps;
    commands.push_back("init");
    openocd_process openocd(board.port(), commands, tcl);
    jtag_server server(cable_through("openocd", tcl));
    std::atomic<bool> done{false};
    std::thread other([&] {
        tcl_client meddler(openocd.connect_tcl());
        for (int round = 0; !done; ++round) {
            meddler.command(round % 2 ? "irscan fpga.tap 0x20" : "irscan fpga.tap 0x3f");
            std::this_thread::sleep_for(3ms);
        }
    });
    const int lines = 2500 / k_scale;
    const std::string data = numbered_lines(lines);
    int faults = 0;
    const bool written = write_through_faults(data, 1, faults);
    const std::string received = sink_contents(sinks[1], std::to_string(lines) + "\n");
    done = true;
    other.join();
    ASSERT_TRUE(written) << server.log();
    std::ifstream first(sinks[0], std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(first), std::istreambuf_iterator<char>()), "")
        << "bytes for UART 1 reached UART 0's CPU";
    std::string problem;
    EXPECT_GE(gaps_in(data, received, problem), 0) << problem;
}

/// A board that dies behind a running OpenOCD: OpenOCD still answers idle
/// and IR commands without its adapter, so only a scan that reads the chain
/// shows it; with nobody holding a UART it shows within a second or so.
TEST(SharedOpenOcd, ABoardGoneBehindOpenOcdShowsWhileNobodyHoldsAUart) {
    NEED_OPENOCD();
    auto board = std::make_unique<board_sim>(std::vector<std::string>{"--uart", "loopback"});
    const int tcl = free_port();
    std::vector<std::string> commands = k_board_taps;
    commands.push_back("init");
    openocd_process openocd(board->port(), commands, tcl);
    jtag_server server(cable_through("openocd", tcl));
    std::string listing;
    ASSERT_TRUE(eventually([&] {
        server.chainprobe({}, &listing);
        return listing.find("plugged in, board on") != std::string::npos;
    }, 30s)) << listing;
    board.reset();
    const auto gone = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] {
        server.chainprobe({}, &listing);
        return listing.find("plugged in, board on") == std::string::npos;
    }, 10s)) << listing << server.log();
    EXPECT_LT(std::chrono::steady_clock::now() - gone, 2s) << server.log();
    EXPECT_EQ(open_uart(nullptr, 2, 0).link, nullptr) << "an open of a UART on a board that is gone";
}


/// A board file that names an instruction with no core behind it (here
/// 0x3e, BYPASS on this TAP): opening it faults its own holder, and the
/// other UART of the cable and its holder go on.
TEST(RealChainFault, AUartThatDoesNotAnswerFaultsOnlyItsOwnHolder) {
    board_sim board({"--uart", "loopback"});
    jtag_server server(cable_through("remote_bitbang", board.port()) +
                       "[[cable.device]]\n[[cable.device]]\nir_length = 6\nuser_instructions = [0x20, 0x3e]\n");
    open_result good = open_uart(nullptr, 2, 0);
    ASSERT_NE(good.link, nullptr) << good.text << server.log();
    jtagcorvex_wait_open(good.link);
    ASSERT_TRUE(echoes(good.link, "before")) << server.log();
    open_result bad = open_uart(nullptr, 2, 1);
    ASSERT_NE(bad.link, nullptr) << bad.text;
    jtagcorvex_wait_open(bad.link);
    char byte = 0;
    EXPECT_TRUE(eventually([&] {
        const int n = jtagcorvex_read(bad.link, &byte, 1);
        return n < 0 || (n == 1 && byte == '\xff');
    }, 10s)) << "the holder of the UART that does not answer is told";
    EXPECT_TRUE(eventually([&] {
        return server.log().find("instruction 0x3e: no JTAG UART answered the scan; its holder is told") !=
               std::string::npos;
    }, 5s)) << server.log();
    EXPECT_TRUE(echoes(good.link, "after")) << "the other holder goes on\n" << server.log();
    jtagcorvex_close(bad.link);
    jtagcorvex_close(good.link);
}

}  // namespace
