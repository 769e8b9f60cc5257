// The server's OpenOCD: its command line, the restart pause, what tells a
// lost adapter, the log's error lines and bound, and a supervisor whose
// program cannot be run.
#include "server/openocd-process.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(OpenOcdProcess, CommandLinePutsTheServersPortsAfterTheConfigurationAndInitLast) {
    OpenOcdSettings settings;
    settings.executable = "/opt/openocd/bin/openocd";
    settings.config_files = {"interface/ftdi/cable.cfg", "/home/me/board.cfg"};
    settings.commands = {"adapter speed 1000", "tcl_port 6666"};
    EXPECT_EQ(openocd_command_line(settings, 40123),
              (std::vector<std::string>{"/opt/openocd/bin/openocd", "-f", "interface/ftdi/cable.cfg", "-f",
                                        "/home/me/board.cfg", "-c", "adapter speed 1000", "-c", "tcl_port 6666", "-c",
                                        "bindto 127.0.0.1", "-c", "tcl_port 40123", "-c", "telnet_port disabled", "-c",
                                        "gdb_port disabled", "-c", "init"}));
    settings.commands.clear();
    settings.telnet_port = 4444;
    settings.gdb_port = 3333;
    const auto argv = openocd_command_line(settings, 1);
    EXPECT_EQ(std::vector<std::string>(argv.end() - 6, argv.end()),
              (std::vector<std::string>{"-c", "telnet_port 4444", "-c", "gdb_port 3333", "-c", "init"}));
}

TEST(OpenOcdProcess, LostAdapterIsToldFromOpenOcdsErrorsAndADroppedConnection) {
    struct CASE {
        const char* error;
        bool lost;
    };
    const CASE cases[] = {
        {"OpenOCD's drscan reply is not 1 hex word: \"Error: pathmove: jtag execute failed\"", true},
        {"OpenOCD's drscan reply is not 1 hex word: \"Error: JTAG scan chain interrogation failed: all ones\"", true},
        {"Error: remote_bitbang: Connection reset by peer", true},
        {"Error: Error on socket 'remote_bitbang_putc': errno==32, message: Broken pipe.", true},
        {"the adapter closed the connection", true},
        {"cannot connect: Connection refused", true},
        {"no answer within 3000 ms", true},
        {"OpenOCD's scan_chain lists no TAP: \"\"", false},
        {"device 2: the descriptor's length is impossible", false},
        {"", false},
    };
    for (const CASE& each : cases)
        EXPECT_EQ(openocd_lost_adapter(each.error), each.lost) << each.error;
}

TEST(OpenOcdProcess, RestartPauseDoublesUpToItsLongestAndStartsOverAfterALongRun) {
    RESTART_BACKOFF backoff;
    std::vector<long> pauses;
    for (int i = 0; i < 9; ++i)
        pauses.push_back(static_cast<long>(backoff.next(1s).count()));
    EXPECT_EQ(pauses, (std::vector<long>{500, 1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000}));
    EXPECT_EQ(backoff.next(59s).count(), 30000);
    EXPECT_EQ(backoff.next(60s).count(), 500);
    EXPECT_EQ(backoff.next(0s).count(), 1000);
}

TEST(OpenOcdProcess, ErrorLinesKeepTheLastThreeWhateverThePiecesTheOutputComesIn) {
    const std::string output =
        "Info : only one transport option\r\nError: first\nWarn : not this\nError: second\n"
        "Error: third one\nInfo : clock\nError: fourth\nError: no end yet";
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, output.size()}) {
        ERROR_LINES lines;
        for (std::size_t at = 0; at < output.size(); at += piece)
            lines.feed(std::string_view(output).substr(at, piece));
        EXPECT_EQ(std::vector<std::string>(lines.lines().begin(), lines.lines().end()),
                  (std::vector<std::string>{"Error: second", "Error: third one", "Error: fourth"}))
            << "pieces of " << piece;
    }
    // A line without end is cut at the longest kept, and counts once it ends.
    ERROR_LINES endless;
    endless.feed("Error: " + std::string(10000, 'x'));
    EXPECT_TRUE(endless.lines().empty());
    endless.feed("\n");
    ASSERT_EQ(endless.lines().size(), 1u);
    EXPECT_EQ(endless.lines().back().size(), ERROR_LINES::k_longest_line);
}

TEST(OpenOcdProcess, LogOverItsBoundMovesAsideAndTheWriterGoesOnAtTheStart) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("openocd-log-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "openocd.log").string();
    const int writer = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_TRUNC, 0600);
    ASSERT_GE(writer, 0);
    auto write_text = [writer](const std::string& text) {
        ASSERT_EQ(::write(writer, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    };
    auto read_text = [](const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    std::string error;
    write_text(std::string(100, 'a'));
    EXPECT_FALSE(bound_log_file(path, 100, error));
    EXPECT_EQ(read_text(path).size(), 100u);
    write_text("b");
    EXPECT_TRUE(bound_log_file(path, 100, error)) << error;
    EXPECT_EQ(read_text(path + ".1"), std::string(100, 'a') + "b");
    EXPECT_EQ(read_text(path), "");
    write_text("after");
    EXPECT_EQ(read_text(path), "after");
    EXPECT_FALSE(bound_log_file((dir / "missing.log").string(), 100, error));
    EXPECT_EQ(error, "");
    ::close(writer);
    std::filesystem::remove_all(dir);
}

TEST(OpenOcdProcess, AProgramThatCannotBeRunIsToldAndTriedAgainWithAGrowingPause) {
    asio::io_context io;
    OpenOcdSettings settings;
    settings.executable = "/nonexistent/openocd";
    settings.config_files = {"board.cfg"};
    std::vector<std::string> said;
    const std::string log_path = openocd_log_path(7);
    {
        OPENOCD_SUPERVISOR supervisor(settings, log_path, io, [&said](const std::string& line) { said.push_back(line); });
        std::vector<std::string> problems;
        supervisor.on_ended = [&problems](const std::string& problem) { problems.push_back(problem); };
        supervisor.start();
        io.run_for(1800ms);  // the first start, 0.5 s, the second, 1 s, the third
        ASSERT_GE(problems.size(), 2u);
        EXPECT_LE(problems.size(), 3u);
        EXPECT_NE(problems[0].find("could not be run"), std::string::npos) << problems[0];
        EXPECT_FALSE(supervisor.ready());
        supervisor.stop();
    }
    ASSERT_GE(said.size(), 4u);
    EXPECT_NE(said[0].find("OpenOCD started (pid "), std::string::npos) << said[0];
    EXPECT_NE(said[0].find(", log " + log_path + ")"), std::string::npos) << said[0];
    EXPECT_NE(said[1].find("; starting it again in 500 ms"), std::string::npos) << said[1];
    EXPECT_NE(said[3].find("; starting it again in 1000 ms"), std::string::npos) << said[3];
    EXPECT_FALSE(std::filesystem::exists(log_path));
}
