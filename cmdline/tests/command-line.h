// Test helpers: a mutable argv built from texts, a fresh scanner and settings
// record, and a run of the program entry in a child process with its exit
// status and both output streams.
#pragma once

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "cmdline/option-scanner.h"
#include "cmdline/process-args.h"
#include "cmdline/settings.h"

namespace tolvan::test {

/// Owns the element texts; argv() hands out pointers the scanner may reorder.
class CommandLine {
public:
    CommandLine(std::initializer_list<const char*> elements) : m_texts(elements.begin(), elements.end()) {
        for (std::string& text : m_texts) m_argv.push_back(text.data());
        m_argv.push_back(nullptr);
    }
    // argv points into the texts, so a copy must point into its own texts,
    // in the same (possibly permuted) order.
    CommandLine(const CommandLine& other) : m_texts(other.m_texts) {
        for (char* element : other.m_argv) {
            if (element == nullptr) {
                m_argv.push_back(nullptr);
                continue;
            }
            std::size_t i = 0;
            while (other.m_texts[i].data() != element) ++i;
            m_argv.push_back(m_texts[i].data());
        }
    }
    CommandLine& operator=(const CommandLine&) = delete;

    int argc() const { return static_cast<int>(m_texts.size()); }
    char** argv() { return m_argv.data(); }
    /// The elements in their current order.
    std::vector<std::string> order() const {
        return std::vector<std::string>(m_argv.begin(), m_argv.end() - 1);
    }

private:
    std::vector<std::string> m_texts;
    std::vector<char*> m_argv;
};

/// Stands in for the terminal driver: the entry only has to call it.
inline int fake_terminal_runs = 0;
inline void fake_terminal() {
    ++fake_terminal_runs;
    std::printf("[terminal runs]\n");
}

/// Start-up state for one command line.
inline void fresh_start() {
    reset_settings();
    reset_option_scanner();
}

/// A pattern for the C runtime's report of a failed assertion of `expression`
/// (itself a pattern) at `source`, `line`; the runtimes word it differently.
inline std::string assertion_report(const std::string& source, int line, const std::string& expression) {
#ifdef _WIN32
    return "Assertion failed: " + expression + ", file " + source + ", line " + std::to_string(line);
#else
    return source + ":" + std::to_string(line) + ".*" + expression;
#endif
}

struct ProgramRun {
    int status = -1;  ///< exit status, or -1 when the child did not exit normally
    int signal = 0;   ///< the signal that ended the child, if any
    std::string out;
    std::string err;
};

inline std::string read_all(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, n);
    std::fclose(file);
    return text;
}

#ifdef _WIN32
/// Without fork: the test program starts itself again to run program_main
/// (tests/windows/program-child-win32.cpp).
ProgramRun run_program_in_child(CommandLine& line);
#endif

/// Runs program_main on `line` in a child process from a fresh start.
inline ProgramRun run_program(CommandLine line) {
    fresh_start();
#ifdef _WIN32
    return run_program_in_child(line);
#else
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t child = fork();
    if (child == 0) {
        dup2(fileno(out), 1);
        dup2(fileno(err), 2);
        int status = program_main(line.argc(), line.argv(), fake_terminal);
        std::fflush(stdout);
        _exit(status);
    }
    ProgramRun run;
    int wait_status = 0;
    waitpid(child, &wait_status, 0);
    if (WIFEXITED(wait_status)) run.status = WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) run.signal = WTERMSIG(wait_status);
    run.out = read_all(out);
    run.err = read_all(err);
    return run;
#endif
}

}  // namespace tolvan::test
