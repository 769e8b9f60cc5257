// Runs a program the way a user or an IDE does: in a pseudo-terminal (standard
// input and output on the terminal) or with pipes, and watches what it prints.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <termios.h>
#include <vector>

namespace test_support {

using namespace std::chrono_literals;

struct launch {
    std::vector<std::string> argv = {};
    std::vector<std::string> env = {};  ///< NAME=VALUE added to the test's environment
    std::string cwd = {};               ///< empty: the test's own
    bool terminal = true;          ///< stdin and stdout on a pseudo-terminal; else pipes
    bool stderr_apart = false;     ///< standard error to a pipe of its own
    /// With `terminal`: standard output (and standard error, unless apart) to
    /// a pipe, byte for byte, while standard input stays on the terminal.
    bool stdout_apart = false;
    /// Standard descriptors (0, 1, 2) the program starts without.
    std::vector<int> closed = {};
};

class child_process {
public:
    explicit child_process(const launch& how);
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    /// Types bytes at the terminal, or writes them into the input pipe.
    void send(const std::string& bytes);
    /// Writes into the input pipe what it takes now, without waiting: the
    /// number of bytes taken.
    std::size_t offer(const std::string& bytes);
    /// Offers `piece` again and again until the input has taken none of it
    /// for `quiet`, adding what it took to `taken`, and calling `each` between
    /// offers; false when it still takes some once `guard` has passed.
    bool offer_until_refused(const std::string& piece, std::size_t& taken, std::chrono::milliseconds quiet,
                             std::chrono::seconds guard, const std::function<void()>& each = {});
    /// Closes the input pipe (end of input).
    void close_input();
    /// Closes the test's end of a standard output pipe: the program's writes
    /// fail from now on, as into a pager that has quit.
    void close_output();
    void signal(int number);
    pid_t pid() const { return m_pid; }

    /// Waits until the output (line ends as "\n") contains `text` at or after
    /// offset `from`; false on time-out.
    bool expect(const std::string& text, std::chrono::milliseconds limit = 15s, std::size_t from = 0);
    /// Waits for the exit; the status as from waitpid, or nullopt on time-out.
    std::optional<int> wait(std::chrono::milliseconds limit = 20s);
    /// Exit code after a normal exit, -1000 - signal after a signal, nullopt on time-out.
    std::optional<int> exit_code(std::chrono::milliseconds limit = 20s);

    /// Everything printed so far on the terminal or standard output, with the
    /// terminal's "\r\n" turned back into "\n".
    std::string output();
    std::string errors();

    /// The terminal's mode now (the test's copy of the terminal side).
    termios mode() const;

private:
    void pump(std::chrono::milliseconds limit);

    pid_t m_pid = -1;
    int m_input = -1;     ///< terminal master or input pipe
    int m_output = -1;    ///< terminal master or output pipe
    int m_error = -1;     ///< error pipe, if apart
    int m_terminal = -1;  ///< the test's own descriptor of the terminal side
    int m_screen = -1;    ///< terminal master when standard output is apart
    bool m_terminal_mode = false;
    bool m_output_on_terminal = false;
    std::string m_raw_output, m_raw_errors, m_raw_screen;
    std::optional<int> m_status;
};

/// Modes compare equal as `stty -g` would see them.
bool same_mode(const termios& a, const termios& b);

/// The mode every new pseudo-terminal starts in: what a program under test
/// found before it touched anything.
termios fresh_terminal_mode();

/// Escapes control bytes, for failure messages.
std::string escaped(const std::string& bytes);

/// Runs a command to its end with its input closed; what it printed on
/// standard output and standard error, and its exit code in `status`.
std::string run_command(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                        int* status = nullptr);

/// The resident memory of a running process in KiB (VmRSS); 0 when unknown.
std::size_t resident_kib(pid_t pid);

/// Whether the process is there and has not ended (a zombie has).
bool running(pid_t pid);

/// Waits until the number in the file `path` (a process id a command
/// wrote) names a running process; that id, or 0 on time-out.
pid_t pid_written_to(const std::string& path, std::chrono::seconds guard = 10s);

/// How often `what` occurs in `text`.
std::size_t occurrences(const std::string& text, const std::string& what);

/// Waits (polling, with a generous guard) until `predicate` holds.
template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::seconds guard = 60s) {
    auto give_up = std::chrono::steady_clock::now() + guard;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

}  // namespace test_support
