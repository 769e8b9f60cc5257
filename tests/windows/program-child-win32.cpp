// The command-line tests' program run on Windows, where there is no fork: the
// test program starts itself again with one hidden test selected, which runs
// program_main on the elements handed over in the environment, with its
// standard output and standard error going to files the parent reads back.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cmdline/tests/command-line.h"

namespace tolvan::test {
namespace {

constexpr const char* ARGS_VARIABLE = "TT_PROGRAM_CHILD_ARGS";
constexpr const char* OUT_VARIABLE = "TT_PROGRAM_CHILD_OUT";
constexpr const char* ERR_VARIABLE = "TT_PROGRAM_CHILD_ERR";

/// Elements may hold any byte: each travels as hex, ended by a full stop.
std::string encode(const std::vector<std::string>& elements) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const std::string& element : elements) {
        for (unsigned char c : element) {
            text += digits[c >> 4];
            text += digits[c & 15];
        }
        text += '.';
    }
    return text;
}

std::vector<std::string> decode(const std::string& text) {
    auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    std::vector<std::string> elements;
    std::string element;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '.') {
            elements.push_back(element);
            element.clear();
            ++i;
        } else {
            element += static_cast<char>(nibble(text[i]) * 16 + nibble(text[i + 1]));
            i += 2;
        }
    }
    return elements;
}

std::string variable(const char* name) {
    char value[32768];
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n == 0 || n >= sizeof value ? std::string() : std::string(value, n);
}

std::string temporary_file() {
    char directory[MAX_PATH + 1];
    char path[MAX_PATH + 1];
    GetTempPathA(sizeof directory, directory);
    GetTempFileNameA(directory, "tt", 0, path);
    return path;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    in.close();
    DeleteFileA(path.c_str());
    return text;
}

/// Sends standard output or standard error to a file, untranslated, as the
/// forked child of the POSIX build does.
void redirect(int fd, const std::string& path) {
    int file = _open(path.c_str(), _O_WRONLY | _O_TRUNC | _O_BINARY);
    _dup2(file, fd);
    _close(file);
    _setmode(fd, _O_BINARY);
}

}  // namespace

ProgramRun run_program_in_child(CommandLine& line) {
    std::vector<std::string> elements;
    for (int i = 0; i < line.argc(); ++i) elements.emplace_back(line.argv()[i]);
    std::string out = temporary_file();
    std::string err = temporary_file();
    SetEnvironmentVariableA(ARGS_VARIABLE, encode(elements).c_str());
    SetEnvironmentVariableA(OUT_VARIABLE, out.c_str());
    SetEnvironmentVariableA(ERR_VARIABLE, err.c_str());

    char self[MAX_PATH + 1];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string command = std::string("\"") + self +
                          "\" --gtest_filter=ProgramChild.DISABLED_RunsProgramMain --gtest_also_run_disabled_tests";
    // The child's own test report goes nowhere.
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = nul;
    startup.hStdError = nul;
    PROCESS_INFORMATION child{};
    ProgramRun run;
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) {
        WaitForSingleObject(child.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(child.hProcess, &code);
        run.status = static_cast<int>(code);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    CloseHandle(nul);
    SetEnvironmentVariableA(ARGS_VARIABLE, nullptr);
    SetEnvironmentVariableA(OUT_VARIABLE, nullptr);
    SetEnvironmentVariableA(ERR_VARIABLE, nullptr);
    run.out = slurp(out);
    run.err = slurp(err);
    return run;
}

// Selected only by run_program_in_child, in the child it starts.
TEST(ProgramChild, DISABLED_RunsProgramMain) {
    std::vector<std::string> elements = decode(variable(ARGS_VARIABLE));
    if (variable(OUT_VARIABLE).empty()) GTEST_SKIP() << "runs only as the child of run_program";
    std::vector<char*> argv;
    for (std::string& element : elements) argv.push_back(element.data());
    argv.push_back(nullptr);
    std::fflush(stdout);
    std::fflush(stderr);
    redirect(1, variable(OUT_VARIABLE));
    redirect(2, variable(ERR_VARIABLE));
    fresh_start();
    int status = program_main(static_cast<int>(elements.size()), argv.data(), fake_terminal);
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
}

}  // namespace tolvan::test
