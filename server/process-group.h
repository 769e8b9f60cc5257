// POSIX: the server's child processes (exec targets, OpenOCD), each started
// in a process group of its own that ends with the server, and the reaper
// that collects them all: a child's process id is signalled only while it
// is listed here, that is until it is reaped.
#pragma once

#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

#include <asio/io_context.hpp>

struct CHILD_START {
    std::vector<std::string> argv;  ///< the program (a path, or found on PATH) and its arguments
    int stdin_fd = -1;              ///< -1: inherited
    int stdout_fd = -1;
    int stderr_fd = -1;
    int death_signal = SIGTERM;  ///< what the child gets when the server dies (Linux)
};

/// Starts a child in a process group of its own, with every descriptor but
/// 0-2 closed; its process id, or -1 with `error`. The child is listed from
/// here on; `reaped(status)` runs once it is reaped, unless forgotten first.
pid_t start_child_group(const CHILD_START& how, std::function<void(int status)> reaped, std::string& error);
/// Whether `pid` is a listed child that has not been reaped.
bool child_running(pid_t pid);
/// Sends `signal` to the child's group, if it has not been reaped.
void signal_child_group(pid_t pid, int signal);
/// Ends a child's group: SIGTERM now, SIGKILL after a grace period unless it
/// has been reaped by then. Its `reaped` call is dropped.
void end_child_group(pid_t pid, asio::io_context& io);
/// Reaps every ended child (SIGCHLD does too, once watch_children runs).
void reap_children();
void watch_children(asio::io_context& io);
/// At the end: every child that is left gets the grace period, then SIGKILL.
void end_all_children();
/// "exited with status 1", "was killed by signal 9".
std::string exit_text(int status);
