// jtag-server driving real JTAG: the simulated board's chain reached over
// remote_bitbang directly and through OpenOCD, judged by OpenOCD's own
// autoprobe, the terminal and the access library; and the faults a real
// chain has (the board or OpenOCD killed and back, a chain of all ones).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "hardware/tests/board-sim-support.h"
#include "hardware/tests/server-streams.h"
#include "tests/support/jtag-server-process.h"
#include "tests/support/library-client.h"
#include "tests/support/loopback.h"
#include "tests/support/temp-dir.h"

using namespace std::chrono_literals;
using namespace test_support;

namespace {

/// The board's TAPs declared, then OpenOCD's init.
const std::vector<std::string> k_declared = [] {
    std::vector<std::string> commands = k_board_taps;
    commands.push_back("init");
    return commands;
}();

std::string real_cable(const std::string& adapter, int port, const std::string& extra = {}) {
    return "[[cable]]\nname = \"SimJTAG [real]\"\nadapter = \"" + adapter + "\"\naddress = \"127.0.0.1:" +
           std::to_string(port) + "\"\n" + extra;
}

/// The word after each `before` in `text` (up to a blank, comma, semicolon, quote or line end).
std::vector<std::string> words_after(const std::string& text, const std::string& before) {
    std::vector<std::string> found;
    for (std::size_t at = text.find(before); at != std::string::npos; at = text.find(before, at + 1)) {
        const std::size_t start = at + before.size();
        found.push_back(text.substr(start, text.find_first_of(" ,;\"\n", start) - start));
    }
    return found;
}

/// "IDCODE/IR length" of each TAP, the IDCODE after `idcode` and the length
/// after `length`: in OpenOCD's autoprobe lines ("jtag newtap auto0 tap
/// -irlen 5 -expected-id 0x30a51e2b") and chainprobe's device lines
/// ("IDCODE 0x30a51e2b (...), IR length 5").
std::vector<std::string> taps_in(const std::string& text, const std::string& idcode, const std::string& length) {
    const auto idcodes = words_after(text, idcode);
    const auto lengths = words_after(text, length);
    std::vector<std::string> taps;
    for (std::size_t t = 0; t < lengths.size() && t < idcodes.size(); ++t)
        taps.push_back(idcodes[t] + "/" + lengths[t]);
    return taps;
}

/// A remote_bitbang server that misbehaves: its TDO is stuck high (every
/// read answers '1', as a chain with no powered board behind the adapter),
/// or it answers every read with 'X', or it never answers.
class broken_adapter {
public:
    enum class fault { stuck_high, garbage, silent };

    explicit broken_adapter(fault how) : m_fault(how), m_server([this](LOOPBACK_SERVER& server) { serve(server); }) {}
    int port() const { return m_server.port(); }

private:
    void serve(LOOPBACK_SERVER& server) {
        while (!server.stopping()) {
            const int client = server.accept_client();
            if (client < 0)
                return;
            timeval tick{0, 100000};
            ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
            char requests[4096];
            while (!server.stopping()) {
                const ssize_t got = ::recv(client, requests, sizeof requests, 0);
                if (got < 0 && errno == EAGAIN)
                    continue;
                if (got <= 0)
                    break;
                const auto reads = static_cast<std::size_t>(std::count(requests, requests + got, 'R'));
                const std::string replies(m_fault == fault::silent ? 0 : reads,
                                          m_fault == fault::garbage ? 'X' : '1');
                if (!replies.empty() && ::send(client, replies.data(), replies.size(), MSG_NOSIGNAL) < 0)
                    break;
            }
            ::close(client);
        }
    }

    fault m_fault;
    LOOPBACK_SERVER m_server;  // last: its thread uses the members above
};

}  // namespace

TEST(RealChain, ChainprobeListsTheTapsOpenOcdsAutoprobeFinds) {
    NEED_OPENOCD();
    board_sim probed;
    openocd_process openocd(probed.port(), {"init", "shutdown"});
    ASSERT_EQ(openocd.wait_exit(), 0) << openocd.log();
    const std::string log = openocd.log();
    const auto autoprobed = taps_in(log, " -expected-id ", " tap -irlen ");

    board_sim board({"--uart", "loopback", "--uart", "loopback"});
    jtag_server server(real_cable("remote_bitbang", board.port()));
    std::string listing;
    ASSERT_EQ(server.chainprobe({}, &listing), 0) << listing;
    const auto listed = taps_in(listing, ": IDCODE ", "), IR length ");
    ASSERT_EQ(autoprobed.size(), 2u) << log;
    EXPECT_EQ(listed, autoprobed) << listing << log;
    EXPECT_NE(listing.find("adapter remote_bitbang at 127.0.0.1:" + std::to_string(board.port())), std::string::npos)
        << listing;
    EXPECT_NE(listing.find("device 1: IDCODE 0x30a51e2b (manufacturer 0x715, part 0x0a51, version 3), IR length 5; "
                           "IR length guessed from its capture; no JTAG UART"),
              std::string::npos)
        << listing;
    EXPECT_NE(listing.find("instance 1: JTAG UART, instruction 0x21, FIFOs host->target 0/64 target->host 0/64"),
              std::string::npos)
        << listing;
    // Simulated faults are for simulated cables.
    std::string said;
    EXPECT_EQ(server.chainprobe({"unplug", "SimJTAG"}, &said), 1);
    EXPECT_NE(said.find("is a real JTAG chain (remote_bitbang at"), std::string::npos) << said;
}

namespace {

/// The terminal on `server` with pipes for input and output, as an IDE runs it.
std::unique_ptr<child_process> piped_terminal(const jtag_server& server, std::vector<std::string> args) {
    launch how;
    how.terminal = false;
    return server.terminal(std::move(args), how);
}

/// Types `text` (a line) and waits until it has come back `times` times in all.
bool comes_back(child_process& terminal, const std::string& text) {
    const std::size_t before = occurrences(terminal.output(), text);
    terminal.send(text);
    return eventually([&] { return occurrences(terminal.output(), text) > before; }, 60s);
}

}  // namespace

TEST(RealChain, TerminalPassesEveryByteValueBothWaysAndAMegabyteExactly) {
    temp_dir scratch;
    // UART 0 sends back what it gets; UART 1 prints about a megabyte (a tenth
    // under a sanitizer), then Ctrl-D.
#ifdef TT_SANITIZED
    const std::string lines = "seq 1 20000";
    const std::size_t at_least = 100000;
#else
    const std::string lines = "seq 1 160000";
    const std::size_t at_least = 1000000;
#endif
    board_sim board({"--uart", "loopback", "--uart", "exec:" + lines + "; printf '\\004'; sleep 60"});
    jtag_server server(real_cable("remote_bitbang", board.port()));

    auto echo = piped_terminal(server, {"-q", "--no-quit-on-ctrl-d", "-d", "2", "-i", "0"});
    const std::string bytes = every_byte_value(4);
    echo->send(bytes);
    EXPECT_TRUE(eventually([&] { return echo->output().size() >= bytes.size(); }, 60s));
    EXPECT_EQ(echo->output(), bytes) << escaped(echo->output());
    echo->signal(SIGTERM);
    EXPECT_EQ(echo->exit_code(), 0);

    auto stream = piped_terminal(server, {"-q", "-d", "2", "-i", "1"});
    EXPECT_EQ(stream->exit_code(200s), 0);
    const std::string expected = run_command({"/bin/sh", "-c", lines});
    ASSERT_GT(expected.size(), at_least);
    EXPECT_TRUE(stream->output() == expected) << stream->output().size() << " bytes of " << expected.size();
}

TEST(RealChain, NothingIsLostWhenTheCpuSideOrTheClientStopsReading) {
    // A CPU side that reads nothing for a while, then echoes; and one that
    // prints while its client does not read.
    board_sim board({"--uart", "exec:sleep 2; exec cat", "--uart", "exec:seq 1 30000; sleep 60"});
    jtag_server server(real_cable("remote_bitbang", board.port()));

    open_result slow = open_uart(nullptr, 2, 0);
    ASSERT_NE(slow.link, nullptr) << slow.code << ": " << slow.text;
    jtagcorvex_wait_open(slow.link);
    std::string data;
    for (int i = 0; data.size() < 20000; ++i)
        data += "line " + std::to_string(i) + "\n";
    EXPECT_EQ(write_and_collect(slow.link, data, data.size()), data);
    jtagcorvex_close(slow.link);

    open_result idle = open_uart(nullptr, 2, 1);
    ASSERT_NE(idle.link, nullptr) << idle.code << ": " << idle.text;
    jtagcorvex_wait_open(idle.link);
    std::this_thread::sleep_for(2s);  // the FIFOs fill; the command waits in its write
    const std::string expected = run_command({"/bin/sh", "-c", "seq 1 30000"});
    EXPECT_TRUE(read_exactly(idle.link, expected.size(), 4096, 150s) == expected);
    jtagcorvex_close(idle.link);
}

TEST(RealChain, DeviceAndInstanceChooseAmongTwoUarts) {
    board_sim board({"--uart", "loopback", "--uart", "exec:printf 'second\\n'; sleep 60"});
    jtag_server server(real_cable("remote_bitbang", board.port()));
    EXPECT_EQ(open_uart().code, -7);
    EXPECT_EQ(open_uart(nullptr, 2).code, -7);
    EXPECT_EQ(open_uart(nullptr, 1).code, -8);
    EXPECT_EQ(open_uart(nullptr, 2, 2).code, -8);
    open_result second = open_uart("SimJTAG", 2, 1);
    ASSERT_NE(second.link, nullptr) << second.text;
    jtagcorvex_wait_open(second.link);
    EXPECT_EQ(read_exactly(second.link, 7), "second\n");
    // A held UART is reported as such.
    EXPECT_EQ(open_uart(nullptr, 2, 1).code, -6);
    jtagcorvex_close(second.link);

    auto terminal = piped_terminal(server, {});
    EXPECT_EQ(terminal->exit_code(), 1);
    EXPECT_NE(terminal->output().find("More than one JTAG UART is available."), std::string::npos)
        << escaped(terminal->output());
}

namespace {

/// jtag-board-sim with one loopback UART behind an OpenOCD that runs
/// `commands` (the TAPs declared, init), its TCL port connected.
struct board_behind_openocd {
    explicit board_behind_openocd(const std::vector<std::string>& commands = k_declared)
        : tcl(free_port()), openocd(board.port(), commands, tcl) {
        openocd.connect_tcl();
    }
    board_sim board{{"--uart", "loopback"}};
    int tcl;
    openocd_process openocd;
};

/// What comes back from `bytes` sent through the loopback UART of device
/// `device`, instance 0; a failure to open is the server's log.
std::string echoed(jtag_server& server, int device, const std::string& bytes,
                   std::chrono::seconds guard = 150s) {
    open_result link = open_uart(nullptr, device, 0);
    if (link.link == nullptr)
        return "open: " + std::to_string(link.code) + ": " + link.text + "\n" + server.log();
    jtagcorvex_wait_open(link.link);
    std::string got = write_and_collect(link.link, bytes, bytes.size(), guard);
    jtagcorvex_close(link.link);
    return got;
}

}  // namespace

TEST(RealChain, EchoThroughOpenOcd) {
    NEED_OPENOCD();
    board_behind_openocd chain;
    jtag_server server(real_cable("openocd", chain.tcl));
    std::string listing;
    server.chainprobe({}, &listing);
    EXPECT_NE(listing.find("IR length 6, fpga.tap; 1 JTAG UART"), std::string::npos) << listing;
    const std::string bytes = every_byte_value(2);
    EXPECT_EQ(echoed(server, 2, bytes), bytes);

    auto terminal = piped_terminal(server, {"--no-quit-on-ctrl-d", "-d", "2"});
    ASSERT_TRUE(terminal->expect("Ctrl-C to terminate)\n\n", 60s)) << escaped(terminal->output());
    EXPECT_TRUE(comes_back(*terminal, "through openocd\n")) << escaped(terminal->output());
}

TEST(RealChain, OpenOcdChainWithADisabledTapAndATapOfTwoExpectedIds) {
    NEED_OPENOCD();
    // A TAP behind a router, declared but disabled: OpenOCD leaves it out of
    // the chain, and a scan naming it makes OpenOCD abort (its IR length is
    // that of our TAP, whose descriptor a host reads). The FPGA is declared
    // with two silicon revisions.
    board_behind_openocd chain({k_board_taps[0], "jtag newtap cpu tap -irlen 6 -expected-id 0x4ba00477 -disable",
                                "jtag newtap fpga tap -irlen 6 -expected-id 0x27e01f57 -expected-id 0x17e01f57",
                                "init"});
    jtag_server server(real_cable("openocd", chain.tcl));
    std::string listing;
    server.chainprobe({}, &listing);
    EXPECT_NE(listing.find("IR length 5, other.tap; no JTAG UART"), std::string::npos) << listing;
    EXPECT_NE(listing.find("device 2: "), std::string::npos) << listing;
    EXPECT_NE(listing.find("IR length 6, cpu.tap; disabled in OpenOCD: out of the chain, not scanned "
                           "(declared IDCODE 0x4ba00477)"),
              std::string::npos)
        << listing;
    EXPECT_NE(listing.find("device 3: IDCODE 0x17e01f57"), std::string::npos) << listing;
    EXPECT_NE(listing.find("IR length 6, fpga.tap; 1 JTAG UART"), std::string::npos) << listing;
    const std::string bytes = every_byte_value(1);
    EXPECT_EQ(echoed(server, 3, bytes, 60s), bytes) << chain.openocd.log();
    EXPECT_EQ(chain.openocd.log().find("Assertion"), std::string::npos) << chain.openocd.log();
    EXPECT_EQ(server.log().find("trying again"), std::string::npos) << server.log();
}

TEST(RealChain, OpenOcdsIrLengthsAreComparedWithTheBoardFiles) {
    NEED_OPENOCD();
    board_behind_openocd chain;
    // Device 1 is given a wrong IR length and a wrong IDCODE, device 2 the right length.
    jtag_server server(real_cable("openocd", chain.tcl,
                                  "[[cable.device]]\nir_length = 4\nidcode = 0x30a51e2c\n"
                                  "[[cable.device]]\nir_length = 6\n"));
    std::string listing;
    server.chainprobe({}, &listing);
    const std::string mismatch = "the board file gives IR length 4, OpenOCD declares 5 (OpenOCD's is used)";
    EXPECT_NE(listing.find("IR length 5, other.tap; " + mismatch + "; expected IDCODE 0x30a51e2c, found 0x30a51e2b; "
                           "no JTAG UART"),
              std::string::npos)
        << listing;
    EXPECT_NE(listing.find("IR length 6, fpga.tap; 1 JTAG UART"), std::string::npos) << listing;
    EXPECT_NE(server.log().find("device 1: " + mismatch), std::string::npos) << server.log();
    EXPECT_EQ(server.log().find("device 2:"), std::string::npos) << server.log();
    EXPECT_EQ(echoed(server, 2, "given\n", 60s), "given\n");
}

namespace {

/// A persistent terminal on the cable `cable(port)` describes for a board on
/// `port`: it echoes, the board is killed (`while_gone` runs once the
/// terminal saw it), started again on the same port, and it echoes again.
void board_killed_and_back(const std::function<std::string(int port)>& cable,
                           const std::function<void(jtag_server&)>& while_gone) {
    auto board = std::make_unique<board_sim>(std::vector<std::string>{"--uart", "loopback"});
    const std::string port = std::to_string(board->port());
    jtag_server server(cable(board->port()));
    auto terminal = piped_terminal(server, {"--persistent", "-d", "2"});
    ASSERT_TRUE(terminal->expect("Ctrl-C to terminate)\n\n", 60s)) << escaped(terminal->output());
    ASSERT_TRUE(comes_back(*terminal, "before\n")) << escaped(terminal->output());

    board->process().signal(SIGKILL);
    board->process().wait(10s);
    ASSERT_TRUE(terminal->expect("\nJTAG connection interrupted!\n", 60s)) << escaped(terminal->output());
    while_gone(server);
    board = std::make_unique<board_sim>(std::vector<std::string>{"--listen", "127.0.0.1:" + port, "--uart", "loopback"});
    ASSERT_TRUE(terminal->expect("\nConnected!\n", 90s)) << escaped(terminal->output()) << server.log();
    EXPECT_TRUE(comes_back(*terminal, "after\n")) << escaped(terminal->output());
}

}  // namespace

TEST(RealChainFault, BoardKilledAndStartedAgainOnTheSamePort) {
    board_killed_and_back([](int port) { return real_cable("remote_bitbang", port); },
                          [](jtag_server& server) {
                              EXPECT_EQ(open_uart(nullptr, 2, 0).code, -4);
                              EXPECT_TRUE(server.logged("trying again every 500 ms")) << server.log();
                          });
}

TEST(RealChainFault, OpenOcdKilledAndStartedAgain) {
    NEED_OPENOCD();
    board_sim board({"--uart", "loopback"});
    const int tcl = free_port();
    auto openocd = std::make_unique<openocd_process>(board.port(), k_declared, tcl);
    openocd->connect_tcl();
    jtag_server server(real_cable("openocd", tcl));
    auto terminal = piped_terminal(server, {"--persistent", "-d", "2"});
    ASSERT_TRUE(terminal->expect("Ctrl-C to terminate)\n\n", 60s)) << escaped(terminal->output());
    ASSERT_TRUE(comes_back(*terminal, "before\n")) << escaped(terminal->output());

    openocd.reset();  // SIGTERM: its connections to the board and to us close
    ASSERT_TRUE(terminal->expect("\nJTAG connection interrupted!\n", 60s)) << escaped(terminal->output());
    openocd = std::make_unique<openocd_process>(board.port(), k_declared, tcl);
    ASSERT_TRUE(terminal->expect("\nConnected!\n", 60s)) << escaped(terminal->output());
    EXPECT_TRUE(comes_back(*terminal, "after\n")) << escaped(terminal->output());
}

TEST(RealChainFault, AnUnreachableAdapterIsUnpluggedAndAChainOfAllOnesIsABoardThatIsOff) {
    const int nobody = free_port();
    jtag_server unreachable(real_cable("remote_bitbang", nobody));
    const open_result unplugged = open_uart();
    EXPECT_EQ(unplugged.code, -4) << unplugged.text;
    EXPECT_TRUE(unreachable.logged("cannot connect")) << unreachable.log();

    broken_adapter adapter(broken_adapter::fault::stuck_high);
    jtag_server server(real_cable("remote_bitbang", adapter.port()));
    const open_result off = open_uart();
    EXPECT_EQ(off.code, -5) << off.text;
    EXPECT_TRUE(server.logged("board off: the chain reads all ones")) << server.log();
    std::string listing;
    server.chainprobe({}, &listing);
    EXPECT_NE(listing.find("cable plugged in, board OFF"), std::string::npos) << listing;
}

TEST(RealChainFault, AnAdapterThatAnswersGarbageOrNothingIsUnpluggedAndHoldsUpNoOtherCable) {
    broken_adapter garbage(broken_adapter::fault::garbage);
    broken_adapter silent(broken_adapter::fault::silent);
    board_sim board({"--uart", "loopback"});
    auto named = [](const std::string& name, int port) {
        return "[[cable]]\nname = \"" + name + "\"\nadapter = \"remote_bitbang\"\naddress = \"127.0.0.1:" +
               std::to_string(port) + "\"\n";
    };
    jtag_server server(named("Garbage", garbage.port()) + named("Silent", silent.port()) +
                       named("Good", board.port()));
    EXPECT_EQ(open_uart("Garbage").code, -4);
    EXPECT_EQ(open_uart("Silent").code, -4);
    // The silent adapter keeps a transaction waiting for its deadline again
    // and again; the good cable is served meanwhile.
    open_result good = open_uart("Good", 2, 0);
    ASSERT_NE(good.link, nullptr) << good.text;
    jtagcorvex_wait_open(good.link);
    for (int round = 0; round < 20; ++round)
        ASSERT_EQ(write_and_collect(good.link, "round " + std::to_string(round), 7 + (round >= 10)),
                  "round " + std::to_string(round));
    jtagcorvex_close(good.link);
    const std::string log = server.log();
    EXPECT_NE(log.find("cable \"Garbage\" (remote_bitbang at 127.0.0.1:" + std::to_string(garbage.port()) +
                       "): the remote_bitbang server answered the byte 0x58, not '0' or '1'; trying again"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("cable \"Silent\""), std::string::npos) << log;
    EXPECT_NE(log.find("no answer within 3000 ms"), std::string::npos) << log;
}

TEST(RealChain, BoardFileFactsStandInForWhatCannotBeProbed) {
    board_sim board({"--uart", "exec:exec cat", "--uart", "loopback"});
    jtag_server server(real_cable("remote_bitbang", board.port(),
                                  "[[cable.device]]\nir_length = 5\nidcode = 0x12345678\n"
                                  "[[cable.device]]\nuser_instructions = [0x21]\ntx_fifo = 64\n"));
    std::string listing;
    server.chainprobe({}, &listing);
    EXPECT_NE(listing.find("IR length 5 (given); expected IDCODE 0x12345678, found 0x30a51e2b; no JTAG UART"),
              std::string::npos)
        << listing;
    EXPECT_NE(listing.find("instance 0: JTAG UART, instruction 0x21"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("instance 1:"), std::string::npos) << listing;
    EXPECT_TRUE(server.logged("device 1: expected IDCODE 0x12345678, found 0x30a51e2b")) << server.log();
    // Instance 0 is the core on USER1: the loopback one.
    EXPECT_EQ(echoed(server, 2, "by instruction"), "by instruction");
}

TEST(RealChain, UserInstructionsTheFoundIrCannotTakeMakeNoUartAndAreNamedWithTheirLine) {
    // Device 1's IR has 5 bits: 0x20 does not fit it, 0x1f is its BYPASS.
    board_sim board;
    jtag_server server(real_cable("remote_bitbang", board.port(),
                                  "[[cable.device]]\nuser_instructions = [0x06,\n  0x20,\n  0x1f]\n"));
    std::string listing;
    server.chainprobe({}, &listing);
    const std::string file = server.dir().file("board.toml");
    const std::string note = file + ":7: 'user_instructions': 0x20 does not fit an IR of 5 bits; " + file +
                             ":8: 'user_instructions': 0x1f is BYPASS (all ones) in an IR of 5 bits (the IR length "
                             "found on this TAP): no JTAG UART is made for this device";
    EXPECT_NE(listing.find("IR length 5; IR length guessed from its capture; " + note + "; no JTAG UART"),
              std::string::npos)
        << listing;
    EXPECT_TRUE(server.logged("device 1: " + note)) << server.log();
    // The other device's UART is served as before.
    EXPECT_EQ(echoed(server, 2, "still there"), "still there");
}

TEST(RealChainFault, NothingIsLostOrDoubledWhenOpenOcdIsKilledMidStream) {
    NEED_OPENOCD();
    board_sim board({"--uart", "exec:seq 1 40000; sleep 60"});
    const std::string expected = run_command({"/bin/sh", "-c", "seq 1 40000"});
    const int tcl = free_port();
    auto openocd = std::make_unique<openocd_process>(board.port(), k_declared, tcl);
    openocd->connect_tcl();
    jtag_server server(real_cable("openocd", tcl));
    open_result first = open_uart(nullptr, 2, 0);
    ASSERT_NE(first.link, nullptr) << first.text;
    jtagcorvex_wait_open(first.link);
    std::string got = read_exactly(first.link, 60000, 4096);
    ASSERT_EQ(got.size(), 60000u);
    openocd.reset();  // in the middle of the stream
    // Once the fault arrives, the library reads 0xFF, as from a floating data line.
    const std::string tail = read_exactly(first.link, expected.size() - got.size(), 4096, 10s);
    got += tail.substr(0, tail.find('\xff'));
    jtagcorvex_close(first.link);
    openocd = std::make_unique<openocd_process>(board.port(), k_declared, tcl);
    open_result second;
    ASSERT_TRUE(eventually([&] {
        second = open_uart(nullptr, 2, 0);
        return second.link != nullptr;
    }, 60s));
    jtagcorvex_wait_open(second.link);
    if (got.size() < expected.size())
        got += read_exactly(second.link, expected.size() - got.size(), 4096, 150s);
    jtagcorvex_close(second.link);
    ASSERT_EQ(got.size(), expected.size());
    const auto at = static_cast<std::size_t>(std::mismatch(got.begin(), got.end(), expected.begin()).first - got.begin());
    EXPECT_TRUE(got == expected) << "the stream differs from byte " << at << ": "
                                 << escaped(got.substr(at > 40 ? at - 40 : 0, 120)) << " instead of "
                                 << escaped(expected.substr(at > 40 ? at - 40 : 0, 120));
}

namespace {

/// A board file whose cable names an OpenOCD configuration that reaches
/// `board_port`, written into `dir`; the server starts that OpenOCD.
std::string own_openocd_cable(const temp_dir& dir, int board_port) {
    std::string config;
    for (const std::string& command : openocd_adapter_commands(board_port))
        config += command + "\n";
    for (const std::string& command : k_board_taps)
        config += command + "\n";
    dir.write("sim-board.cfg", config);
    return "[[cable]]\nname = \"SimJTAG [own]\"\nadapter = \"openocd\"\nopenocd_config = [\"" +
           dir.file("sim-board.cfg") + "\"]\n";
}

/// The process ids of the OpenOCDs the server said it started, in order.
std::vector<pid_t> openocd_pids(jtag_server& server) {
    std::vector<pid_t> pids;
    for (const std::string& word : words_after(server.log(), "OpenOCD started (pid "))
        pids.push_back(static_cast<pid_t>(std::stoi(word)));
    return pids;
}

/// Whether `pid` is an OpenOCD that still runs (or a zombie nobody reaped).
bool openocd_left(pid_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    return ::kill(pid, 0) == 0 && std::getline(comm, name) && name == "openocd";
}

bool loopback_works(const std::string& text) {
    open_result link = open_uart(nullptr, 2, 0);
    if (link.link == nullptr)
        return false;
    jtagcorvex_wait_open(link.link);
    const std::string back = write_and_collect(link.link, text, text.size(), 20s);
    jtagcorvex_close(link.link);
    return back == text;
}

}  // namespace

TEST(RealChainFault, TheServersOwnOpenOcdIsStartedAgainWhenKilledAndLeftNoneBehind) {
    NEED_OPENOCD();
    board_sim board({"--uart", "loopback"});
    temp_dir files;
    jtag_server server(own_openocd_cable(files, board.port()));
    EXPECT_TRUE(loopback_works("through the server's own OpenOCD")) << server.log();
    std::string listing;
    server.chainprobe({}, &listing);
    EXPECT_NE(listing.find(", started by the server as pid "), std::string::npos) << listing;
    const std::vector<pid_t> first = openocd_pids(server);
    ASSERT_EQ(first.size(), 1u) << server.log();
    EXPECT_TRUE(server.logged(", log /")) << server.log();

    ::kill(first[0], SIGKILL);
    ASSERT_TRUE(eventually([&] { return openocd_pids(server).size() == 2; }, 30s)) << server.log();
    EXPECT_TRUE(eventually([&] { return loopback_works("again"); }, 30s)) << server.log();
    EXPECT_TRUE(server.logged("OpenOCD (pid " + std::to_string(first[0]) + ") was killed by signal 9"))
        << server.log();

    const pid_t second = openocd_pids(server).back();
    EXPECT_TRUE(openocd_left(second));
    server.stop();
    EXPECT_FALSE(openocd_left(second));

    // Nor when the server itself is killed.
    jtag_server killed(own_openocd_cable(files, board.port()));
    ASSERT_TRUE(eventually([&] { return openocd_pids(killed).size() == 1; }, 30s)) << killed.log();
    const pid_t orphan = openocd_pids(killed).front();
    killed.kill_now();
    EXPECT_TRUE(eventually([&] { return !openocd_left(orphan); }, 10s));
}

TEST(RealChainFault, TheServersOwnOpenOcdIsStartedAgainWhenTheBoardBehindItIsLost) {
    NEED_OPENOCD();
    temp_dir files;
    board_killed_and_back([&files](int port) { return own_openocd_cable(files, port); },
                          [](jtag_server& server) {
                              // OpenOCD that lost its adapter is ended, and new
                              // ones are tried until the board is back.
                              EXPECT_TRUE(eventually([&] { return openocd_pids(server).size() >= 2; }, 30s))
                                  << server.log();
                              EXPECT_TRUE(server.logged(") is ended and started again: ")) << server.log();
                          });
}
