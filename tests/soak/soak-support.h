// Helpers of the soak and fault tests: sizes taken from the environment, a
// terminal whose standard output goes to a file, process figures read from
// /proc, and the soak-source target.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/boards.h"
#include "tests/support/jtag-server-process.h"
#include "tests/support/temp-dir.h"

namespace soak {

using namespace test_support;

/// Resident memory that may come and go without a leak: a little, or, under
/// a sanitizer, what its quarantine of freed blocks may hold.
#ifdef TT_SANITIZED
constexpr std::size_t memory_slack_kib = 256 * 1024;
#else
constexpr std::size_t memory_slack_kib = 1024;
#endif

/// A size from the environment (for longer soaks by hand), or the default.
std::size_t env_size(const char* name, std::size_t fallback);

/// Starts tolvan-terminal against `server` with its standard output sent to
/// `output_file` and its standard input on a pipe that the test holds.
std::unique_ptr<child_process> terminal_to_file(const jtag_server& server, const std::vector<std::string>& args,
                                                const std::string& output_file, const std::string& cwd);

/// Open descriptors and CPU time used so far (user + system, in clock
/// ticks) of a running process; its resident memory is resident_kib.
std::size_t open_descriptors(pid_t pid);
long cpu_ticks(pid_t pid);

/// The soak-source program for a plan, as an exec target's command.
std::string source_command(std::uint64_t seed, std::size_t console_bytes, std::size_t block_every,
                           std::size_t max_profile);

/// A target whose ticks and echo of what it is sent keep traffic flowing both
/// ways, a tick every `pause` (a sleep(1) argument).
std::string ticking_echo(const std::string& pause);

}  // namespace soak
