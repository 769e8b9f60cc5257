// The command line of the Windows program against the Linux one: for every
// command line of the argument-processing suite, both programs give the same
// status, standard error and standard output, but for the line ends of the
// text mode (carriage return and line feed on Windows) and the program path
// that messages quote as the first command-line element. The Windows C
// runtime's long is 32 bits wide: the number checks must not notice.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/free-port.h"
#include "tests/support/jtag-server-process.h"
#include "tests/windows/windows-programs.h"

namespace wine {
namespace {

using namespace test_support;

struct outcome {
    int status = -1;
    std::string out;
    std::string err;
};

outcome run(const std::string& program, const std::vector<std::string>& args) {
    launch how;
    how.argv = {program};
    how.argv.insert(how.argv.end(), args.begin(), args.end());
    how.env = {"JTAG_CORVEX_SERVER=" + refused_address()};  // for command lines that connect
    how.terminal = false;
    how.stderr_apart = true;
    child_process child(how);
    child.close_input();
    outcome result;
    result.status = child.exit_code(60s).value_or(-1);
    result.out = child.output();
    result.err = child.errors();
    return result;
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
}

/// Text-mode output as the Linux program writes it; a bare line feed fails.
std::string from_text_mode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            EXPECT_TRUE(i > 0 && text[i - 1] == '\r') << "a line feed without a carriage return at " << i;
        }
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out.push_back(text[i]);
    }
    return out;
}

/// How the Windows program sees its own path: wine's drive for the root.
std::string windows_path(std::string path) {
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return "Z:" + path;
}

using Lines = std::vector<std::vector<std::string>>;

Lines command_lines() {
    Lines lines = {
        {},
        {"-V"},
        {"--version", "-h", "-u", "c"},
        {"-h"},
        {"--help"},
        {"-h", "-u", "c"},
        {"-h", "-u", "ch", "-q", "--gmon", "--persistent", "--flush", "--no-quit-on-ctrl-d"},
        {"-h", "-u", "ch", "--gmon", "--no-gmon", "--persistent", "--no-persistent", "-v"},
        {"-h", "-u", "ch", "-c", "A", "-c", "B", "--dump", "t"},
        {"-h", "-u", "ch", "--cable=", "-H", "-t", "--no-ihost", "--terminal-only"},
        {"-h", "-u", "c", "one", "-q", "two", "--", "-v", "--", "three"},
        {"-h", "-u", "c", "a", "-A", "-v", "b"},
        {"-h", "-u", "c", "-Av", "x"},
        {"-h", "-u", "c", "--target-args=z", "y"},
        {"-h", "-u", "c", "-", "-v", "it's", "two words"},
        {"-u", "c", "target"},
        {"-q"},
        {"--nosuch"},
        {"-x", "-d", "abc"},
        {"-:"},
        {"-v-"},
        {"--write-pid"},
        {"-h", "--signal-pid=3"},
        {"--colour", "--shade", "dark"},
        {"-x", "-d", "abc", "--write-pid", "-o", "-1", "--signal-pid", "-w", "0", "-c"},
        {"--cable"},
        {"--quit-after"},
        {"--version=1"},
        {"--dump"},
    };
    // Numbers are read in 32-bit arithmetic whatever the width of long.
    for (const char* number : {"-1", "0", "", " 7", "+7", "2147483647", "-2", "2147483648", "4294967296",
                               "4294967295", "-4294967295", "-2147483648", "123456789012345678901234567890", "5x",
                               "0x10", "7 ", " ", "-", "abc", "99999999999x"}) {
        lines.push_back({"-h", "-u", "ch", "-d", "3", "-d", number});
        lines.push_back({"-h", "-u", "ch", "--instance=3", "--instance", number});
    }
    for (const char* number : {"", "10", " 7", "2147483647", "-4294967295", "-0", "2147483648", "4294967295",
                               "4294967296", "-1", "-4294967296", "123456789012345678901234567890", "10s", "0x10",
                               "+", "\t"}) {
        lines.push_back({"-h", "-u", "ch", "-o", "5", "--quit-after", number});
    }
    for (const char* number : {"5", "5s", " \t+7", "2147483647", "2147483648", "4294967296",
                               "123456789012345678901234567890", "0", "-3", "-4294967295", "x", ""}) {
        lines.push_back({"-h", "-u", "ch", "-w", "9", "--wait", number});
    }
    return lines;
}

std::string shown(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& arg : args) text += " [" + arg + "]";
    return text;
}

TEST(WineCommandLine, EveryCommandLineIsAnsweredAsOnLinux) {
    const std::string native = TT_NATIVE_TERMINAL_PATH;
    const std::string exe = windows_program("tolvan-terminal.exe");
    for (const auto& args : command_lines()) {
        SCOPED_TRACE("command line:" + shown(args));
        outcome linux_run = run(native, args);
        outcome windows_run = run(terminal_program(), args);
        replace_all(linux_run.out, native, "PROGRAM");
        replace_all(linux_run.err, native, "PROGRAM");
        std::string out = from_text_mode(windows_run.out);
        std::string err = from_text_mode(windows_run.err);
        replace_all(out, windows_path(exe), "PROGRAM");
        replace_all(err, windows_path(exe), "PROGRAM");
        EXPECT_EQ(windows_run.status, linux_run.status);
        EXPECT_EQ(err, linux_run.err) << escaped(err);
        EXPECT_EQ(out, linux_run.out) << escaped(out);
    }
}

}  // namespace
}  // namespace wine
