// The console channel: raw console input gathered by a reader thread into a
// buffer that the relay loop polls, and raw writes to standard output.
#include "channels/console-io.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "cmdline/fatal.h"
#include "cmdline/settings.h"

namespace tolvan {

namespace {

/// The running reader, if any. Once the input has ended, the ended reader's
/// handle stays here, so no new reader is started on every later read.
platform::thread* reader_thread = nullptr;

/// How long the teardown waits for the reader to end. One blocked in a read
/// that nothing can interrupt is left to the end of the process, which
/// follows the teardown at once.
constexpr std::chrono::milliseconds reader_stop_limit{1000};

}  // namespace

COMM_CONSOLE* active_console = nullptr;

COMM_CONSOLE::COMM_CONSOLE() {
    platform::make_stdout_unbuffered();

    if (platform::stdin_is_terminal()) {
        platform::at_exit(restore_console_at_exit);
        check_invariant(platform::stdin_handle_valid(), diagnostic::stdin_handle_at_construction);
        platform::get_console_mode(m_saved_mode);
        m_mode_saved = true;
        platform::console_mode working{};
        if (platform::get_console_mode(working)) {
            if (settings.dump_flags[static_cast<unsigned char>('i')]) {
                std::printf("changing terminal state of stdin to be non-canonical\n");
            }
            if (!platform::set_console_mode(platform::raw_console_mode(working))) {
                std::fprintf(stderr, "%s: fatal error: setting console attributes failed\n", PROGRAM_NAME);
                std::exit(1);
            }
        }
    }

    m_share = new (std::nothrow) ConsoleInputShare;
    if (m_share == nullptr) platform::exit_process(2);

    m_opened = true;
    if (active_console == nullptr) active_console = this;
}

COMM_CONSOLE::~COMM_CONSOLE() {
    check_invariant(m_opened, diagnostic::console_opened_at_teardown);
    // The reader uses the shared block: it goes only once the reader has
    // ended, else it stays with the reader to the end of the process.
    bool reader_stopped = true;
    if (reader_thread != nullptr) {
        {
            std::lock_guard<std::mutex> lock(m_share->mutex);
            m_share->stopping = true;
        }
        m_share->room.notify_all();  // a reader waiting for room, not on input
        reader_stopped = platform::stop_stdin_reader(reader_thread, reader_stop_limit);
        reader_thread = nullptr;
    }
    if (reader_stopped) delete m_share;
    m_share = nullptr;
    restore_console_mode();
    if (active_console == this) active_console = nullptr;
}

void COMM_CONSOLE::restore_console_mode() {
    if (!m_mode_saved) return;
    check_invariant(platform::stdin_handle_valid(), diagnostic::stdin_handle_at_restore);
    if (!platform::set_console_mode(m_saved_mode)) {
        std::fprintf(stderr, "%s: fatal error: restoring console attributes failed\n", PROGRAM_NAME);
    }
    m_mode_saved = false;
    if (active_console == this) active_console = nullptr;
}

int COMM_CONSOLE::read(char* buffer, unsigned int max) {
    check_invariant(m_opened, diagnostic::console_opened_at_read);
    if (reader_thread == nullptr) {
        reader_thread = platform::start_thread(console_reader, m_share);
        if (reader_thread == nullptr) {
            std::fprintf(stderr, "%s: fatal error: Could not create read thread\n", PROGRAM_NAME);
            platform::exit_process(3);
        }
    }

    ConsoleInputShare& share = *m_share;
    std::lock_guard<std::mutex> lock(share.mutex);
    std::size_t pending = share.input.size() - share.taken;
    // The end of input comes after what was read before it: piped input
    // usually ends long before the target has taken all of it.
    if (share.input_ended && pending == 0) {
        std::fprintf(stderr, "%s: error: Gathering input from STDIO\n", PROGRAM_NAME);
        return -1;
    }
    std::size_t n = pending < max ? pending : max;
    if (n != 0) {
        std::memcpy(buffer, share.input.data() + share.taken, n);
        share.taken += n;
        if (pending >= console_input_limit) share.room.notify_one();
        if (share.taken == share.input.size()) {
            share.input.clear();
            share.taken = 0;
        } else if (share.taken >= 4096 && share.taken * 2 >= share.input.size()) {
            share.input.erase(0, share.taken);
            share.taken = 0;
        }
    }
    return static_cast<int>(n);
}

int COMM_CONSOLE::write(const char* data, unsigned int len) {
    check_invariant(m_opened, diagnostic::console_opened_at_write);
    return platform::write_stdout(data, len);
}

void restore_console_at_exit() {
    if (active_console != nullptr) active_console->restore_console_mode();
}

unsigned console_reader(void* share_block) {
    auto* share = static_cast<ConsoleInputShare*>(share_block);
    check_invariant(platform::stdin_handle_valid(), diagnostic::stdin_handle_in_reader);
    for (;;) {
        unsigned char byte = 0;
        platform::stdin_read result = platform::read_stdin_byte(byte);
        if (result == platform::stdin_read::failed) break;
        if (result == platform::stdin_read::byte) {
            std::unique_lock<std::mutex> lock(share->mutex);
            share->input.push_back(static_cast<char>(byte));
            // At the limit, standard input is left alone until the relay has
            // taken some: what comes meanwhile waits in the pipe or terminal.
            share->room.wait(lock, [share] {
                return share->stopping || share->input.size() - share->taken < console_input_limit;
            });
            if (share->stopping) break;
        }
    }
    std::lock_guard<std::mutex> lock(share->mutex);
    share->input_ended = true;
    return 0;
}

}  // namespace tolvan
