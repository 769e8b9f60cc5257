// Starting child processes (POSIX), each in a process group of its own, so
// that a stop reaches the program and everything it started: the one place
// that forks and execs, for jtag-server (whose reaper is built on it in
// server/process-group) and for jtag-board-sim.
#pragma once

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include <sys/types.h>

struct CHILD_START {
    std::vector<std::string> argv;  ///< the program (a path, or found on PATH) and its arguments
    int stdin_fd = -1;              ///< -1: inherited
    int stdout_fd = -1;
    int stderr_fd = -1;
    int death_signal = SIGTERM;  ///< what the child gets when the caller dies (Linux)
};

/// Starts a child in a process group of its own (both sides set it, so the
/// group exists as soon as this returns). The child has every signal at
/// its default action (blocked until then, so a signal meant for it never
/// runs the caller's handlers), none of the caller's descriptors but 0-2
/// and, on Linux, `death_signal` when the caller dies. Its process id, or
/// -1 with `error` (the system's words).
pid_t spawn_child(const CHILD_START& how, std::string& error);

struct SPAWNED {
    pid_t pid = -1;       ///< also the process group
    int to_child = -1;    ///< the write end of its standard input (close-on-exec)
    int from_child = -1;  ///< the read end of its standard output (close-on-exec)
};

/// Starts `/bin/sh -c command` with spawn_child, its standard input and
/// output on pipes. False with `error` when it cannot start.
bool spawn_command(const std::string& command, SPAWNED& child, std::string& error);

/// Ends a spawned child that has not been reaped: SIGTERM to its group,
/// then SIGKILL to the group once the child has ended or `grace` has
/// passed, and reaps it. Blocks for at most `grace` and a moment.
void end_spawned(pid_t pid, std::chrono::milliseconds grace);
