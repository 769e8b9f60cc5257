// The console channel: the host side of the relay. Raw input on an
// interactive console, a reader thread gathering keystrokes, raw writes.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>

#include "platform/console.h"
#include "relay/comm.h"

namespace tolvan {

/// Standard input is read only while less than this waits to be handed
/// over: the relay takes 64 bytes a pass, and the rest waits in the pipe or
/// the terminal.
constexpr std::size_t console_input_limit = 64 * 1024;

/// What the console channel and its reader thread share, handed to the
/// reader when it starts. A reader that cannot be stopped at the teardown
/// keeps it to the end of the process.
struct ConsoleInputShare {
    std::mutex mutex;          ///< guards everything below
    std::string input;         ///< read from standard input, not yet handed over
    /// Bytes at the front of `input` already handed over; dropped in bulk so
    /// that a long backlog is not moved once per read.
    std::size_t taken = 0;
    bool input_ended = false;  ///< a read of standard input failed
    bool stopping = false;     ///< the teardown ends the reader
    /// Wakes a reader waiting for room below console_input_limit: the relay
    /// took bytes, or the teardown stops it.
    std::condition_variable room;
};

class COMM_CONSOLE : public COMM {
public:
    /// Makes standard output unbuffered and an interactive console raw; ends
    /// the program when the console mode or the shared block cannot be set up.
    COMM_CONSOLE();
    ~COMM_CONSOLE() override;

    /// Hands over up to `max` pending input bytes without waiting; -1 once the
    /// input has ended. The first call starts the reader thread.
    int read(char* buffer, unsigned int max) override;
    /// One raw write to standard output.
    int write(const char* data, unsigned int len) override;

    /// Puts back the console mode saved at construction, once.
    void restore_console_mode();

private:
    bool m_mode_saved = false;
    bool m_opened = false;
    platform::console_mode m_saved_mode{};
    ConsoleInputShare* m_share = nullptr;
};

/// The channel whose saved mode the at-exit handler restores.
extern COMM_CONSOLE* active_console;

/// At-exit handler: restores the mode of the active console, if any.
void restore_console_at_exit();

/// The reader thread's routine; `share` is the channel's ConsoleInputShare.
unsigned console_reader(void* share);

}  // namespace tolvan
