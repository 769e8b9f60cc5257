// The lifetime of exec targets' commands in a real jtag-server: a stop ends
// the command's whole process group, however soon it follows the start and
// whether or not the command heeds SIGTERM; a command holds none of the
// server's sockets; an attach restarts a command that has ended; signals
// that end the server end it quietly and alike.
#include "jtag_corvex.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/boards.h"
#include "tests/support/jtag-server-process.h"
#include "tests/support/library-client.h"
#include "tests/support/raw-client.h"
#include "tests/support/temp-dir.h"
#include "wire/messages.h"

namespace {

using namespace test_support;

/// The processes whose parent is `parent`; zombies (ended, not yet reaped)
/// only when asked for.
std::vector<pid_t> children_of(pid_t parent, bool with_zombies = false) {
    std::vector<pid_t> found;
    std::error_code code;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", code)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const auto end_of_name = line.rfind(')');
        if (end_of_name == std::string::npos)
            continue;
        std::istringstream fields(line.substr(end_of_name + 1));
        char state = '?';
        pid_t ppid = 0;
        fields >> state >> ppid;
        if (ppid == parent && (with_zombies || state != 'Z'))
            found.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return found;
}

/// The program a process runs now ("sleep"), empty once it is gone.
std::string program_of(pid_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

std::vector<std::uint8_t> control_frame(wire::ControlOp op) {
    wire::ControlRequest request;
    request.op = op;
    request.cable = "c";
    request.device = 1;
    request.instance = 0;
    return frame_of(wire::FrameType::control, wire::encode(request));
}

/// Sends the operations in one write and waits for as many replies.
bool control_burst(const jtag_server& server, const std::vector<wire::ControlOp>& ops) {
    raw_client client(server.port());
    std::vector<std::uint8_t> bytes;
    for (const wire::ControlOp op : ops) {
        const auto frame = control_frame(op);
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    if (!client.send(bytes))
        return false;
    for (std::size_t i = 0; i < ops.size(); ++i) {
        std::string payload;
        if (!client.read_frame(wire::FrameType::control_reply, payload))
            return false;
    }
    return true;
}

std::string exec_uart_board(const std::string& command) {
    return one_uart_board(exec_target(command), "", "c");
}

/// The server answers a listing.
bool answers(const jtag_server& server) {
    std::string out;
    return server.chainprobe({}, &out) == 0 && out.find("exec: ") != std::string::npos;
}

}  // namespace

TEST(ExecLifetime, NoCommandOutlivesADetachThatFollowsAnAttachAtOnce) {
    jtag_server server(exec_uart_board("exec sleep 300"));
    ASSERT_TRUE(eventually([&] { return children_of(server.pid()).size() == 1; }, 10s));
    std::vector<wire::ControlOp> ops;
    for (int i = 0; i < 20; ++i)
        ops.insert(ops.end(), {wire::ControlOp::detach, wire::ControlOp::attach, wire::ControlOp::detach});
    ASSERT_TRUE(control_burst(server, ops));
    EXPECT_TRUE(eventually([&] { return children_of(server.pid()).empty(); }, 10s))
        << children_of(server.pid()).size() << " commands still run after the last detach";
    EXPECT_TRUE(answers(server));
}

TEST(ExecLifetime, ACommandThatIgnoresTerminationIsKilledAfterAWhile) {
    jtag_server server(exec_uart_board("trap '' TERM; exec sleep 300"));
    ASSERT_TRUE(eventually([&] { return children_of(server.pid()).size() == 1; }, 10s));
    ASSERT_EQ(server.chainprobe({"detach", "c", "1", "0"}), 0);
    EXPECT_TRUE(eventually([&] { return children_of(server.pid(), true).empty(); }, 15s))
        << "the command outlived its detach";
    // Attached again, it runs again; the server's stop ends it too.
    ASSERT_EQ(server.chainprobe({"attach", "c", "1", "0"}), 0);
    ASSERT_TRUE(eventually([&] { return children_of(server.pid()).size() == 1; }, 10s));
    const pid_t command = children_of(server.pid()).front();
    server.stop();
    EXPECT_TRUE(eventually([&] { return ::kill(command, 0) != 0; }, 15s)) << "the command outlived the server";
}

TEST(ExecLifetime, WhatACommandStartsInTheBackgroundEndsWithIt) {
    // The background sleep heeds SIGTERM, or ignores it while the command
    // itself ends on it at once (and is reaped at once).
    for (const std::string sleeper : {"sleep 1000", "(trap '' TERM; exec sleep 1000)"}) {
        SCOPED_TRACE(sleeper);
        temp_dir dir;
        jtag_server server(exec_uart_board(sleeper + " & echo $! > " + dir.file("pid") + "; exec cat"));
        const pid_t grandchild = pid_written_to(dir.file("pid"));
        ASSERT_NE(grandchild, 0) << "the command did not start its background sleep";
        ASSERT_EQ(server.chainprobe({"detach", "c", "1", "0"}), 0);
        EXPECT_TRUE(eventually([&] { return !running(grandchild); }, 10s))
            << "the background sleep outlived the detach";
        if (running(grandchild))
            ::kill(grandchild, SIGKILL);
    }
}

TEST(ExecLifetime, CommandsHoldNoneOfTheServersSockets) {
    jtag_server server(exec_uart_board("exec sleep 300"));
    // Started while a client is connected: it would inherit that connection.
    raw_client bystander(server.port());
    ASSERT_TRUE(bystander.connected());
    ASSERT_TRUE(control_burst(server, {wire::ControlOp::detach, wire::ControlOp::attach}));
    // Looked at once it runs the command: between its fork and its exec the
    // child still has everything, which it closes just before the exec.
    ASSERT_TRUE(eventually(
        [&] {
            const std::vector<pid_t> children = children_of(server.pid());
            return children.size() == 1 && program_of(children.front()) == "sleep";
        },
        10s));
    const pid_t command = children_of(server.pid()).front();
    std::vector<std::string> sockets;
    std::error_code code;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(command) + "/fd", code)) {
        const std::string target = std::filesystem::read_symlink(entry.path(), code).string();
        if (target.rfind("socket:", 0) == 0)
            sockets.push_back(entry.path().filename().string() + " -> " + target);
    }
    EXPECT_TRUE(sockets.empty()) << sockets.size() << " sockets, the first " << sockets.front();

    // A peer the server drops sees the end at once, though the command runs.
    bystander.send(std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    std::string ignored;
    EXPECT_TRUE(bystander.read_until_closed(ignored, 5s));
    EXPECT_EQ(children_of(server.pid()).size(), 1u);
}

TEST(ExecLifetime, AServerKilledOutrightStartsAgainOnItsPortWhileItsCommandLivesOn) {
    // The command ignores the SIGTERM it gets when the server dies.
    jtag_server server(exec_uart_board("trap '' TERM; exec sleep 300"));
    ASSERT_TRUE(eventually([&] { return children_of(server.pid()).size() == 1; }, 10s));
    const pid_t command = children_of(server.pid()).front();
    server.kill_now();
    ASSERT_EQ(::kill(command, 0), 0) << "the command was to live on";
    EXPECT_NO_THROW(server.restart()) << "the orphaned command holds the port";
    EXPECT_TRUE(answers(server));
    ::kill(command, SIGKILL);
}

TEST(ExecLifetime, AttachRestartsACommandThatHasEnded) {
    jtag_server server(exec_uart_board("echo started"));
    JTAGCORVEX* link = open_uart("c", 1, 0).link;
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(read_exactly(link, 8, 64, 10s), "started\n");
    // Reaped: no child of the server left, not even a zombie.
    ASSERT_TRUE(eventually([&] { return children_of(server.pid(), true).empty(); }, 10s));
    ASSERT_EQ(server.chainprobe({"attach", "c", "1", "0"}), 0);
    EXPECT_EQ(read_exactly(link, 8, 64, 10s), "started\n");
    jtagcorvex_close(link);
}

TEST(ExecLifetime, TerminationSignalsCaughtByACommandBeforeItsExecLeaveTheServerUp) {
    // Stops right after starts: some land between the child's fork and its
    // exec, where it still has the server's signal handlers.
    jtag_server server(exec_uart_board("exec true"));
    std::vector<wire::ControlOp> ops;
    for (int i = 0; i < 200; ++i)
        ops.insert(ops.end(), {wire::ControlOp::attach, wire::ControlOp::detach, wire::ControlOp::attach});
    for (int round = 0; round < 4; ++round) {
        ASSERT_TRUE(control_burst(server, ops)) << "round " << round << "\n" << server.log();
    }
    EXPECT_TRUE(answers(server));
}

TEST(ServerSignals, HangupEndsTheServerAsTerminationDoes) {
    temp_dir dir;
    const std::string board = dir.file("board.toml");
    std::ofstream(board) << exec_uart_board("exec sleep 300");
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(signal);
        launch how{.argv = {server_program(), "--board", board, "--listen", "127.0.0.1:0"}, .terminal = false};
        child_process server(how);
        ASSERT_TRUE(server.expect("\n", 60s)) << server.output();
        server.signal(signal);
        EXPECT_EQ(server.exit_code(), 0);
    }
}
