// Starting a command for a target's CPU side (POSIX): `/bin/sh -c COMMAND`
// with its standard input and output on pipes, in a process group of its
// own, so that a stop reaches the shell and everything it started.
#pragma once

#include <chrono>
#include <string>

#include <sys/types.h>

struct SPAWNED {
    pid_t pid = -1;       ///< also the process group
    int to_child = -1;    ///< the write end of its standard input (close-on-exec)
    int from_child = -1;  ///< the read end of its standard output (close-on-exec)
};

/// Starts `command`. The child has every signal at its default action
/// (blocked until then, so a signal meant for it never runs the caller's
/// handlers), none of the caller's descriptors but 0-2, and on Linux a
/// SIGTERM when the caller dies. Both sides set the group, so that it
/// exists as soon as this returns. False with `error` when it cannot start.
bool spawn_command(const std::string& command, SPAWNED& child, std::string& error);

/// Ends a spawned command that has not been reaped: SIGTERM to its group,
/// then SIGKILL to the group once the shell has ended or `grace` has
/// passed, and reaps the shell. Blocks for at most `grace` and a moment.
void end_spawned(pid_t pid, std::chrono::milliseconds grace);
