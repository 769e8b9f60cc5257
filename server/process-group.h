// POSIX: the server's child processes (exec targets, OpenOCD), each started
// in a process group of its own that ends with the server, and the reaper
// that collects them all: a child's process id is signalled only while it
// is listed here, that is until it is reaped.
#pragma once

#include <functional>
#include <string>

#include <sys/types.h>

#include <asio/io_context.hpp>

#include "platform/spawn.h"

/// Starts a child with spawn_child (a process group of its own, every
/// descriptor but 0-2 closed); its process id, or -1 with `error`. The
/// child is listed from here on; `reaped(status)` runs once it is reaped,
/// unless its group is ended first.
pid_t start_child_group(const CHILD_START& how, std::function<void(int status)> reaped, std::string& error);
/// The same for `/bin/sh -c command` on pipes (spawn_command).
bool start_command_group(const std::string& command, SPAWNED& child, std::function<void(int status)> reaped,
                         std::string& error);
/// Whether `pid` is a listed child that has not been reaped.
bool child_running(pid_t pid);
/// Sends `signal` to the child's group, if it has not been reaped.
void signal_child_group(pid_t pid, int signal);
/// Ends a child's group: SIGTERM now, SIGKILL after a grace period to what
/// is left of the group. The child is reaped only then, so that the group
/// id stays its own even when the child ended at once but what it started
/// lives on. Its `reaped` call is dropped.
void end_child_group(pid_t pid, asio::io_context& io);
/// Reaps every ended child (SIGCHLD does too, once watch_children runs).
void reap_children();
void watch_children(asio::io_context& io);
/// At the end: every child's group gets SIGTERM, then SIGKILL once every
/// child has ended or the grace period is over.
void end_all_children();
/// "exited with status 1", "was killed by signal 9".
std::string exit_text(int status);
