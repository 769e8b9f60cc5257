// Shows what the console channel does to the console: the input mode of
// standard input before, while and after a channel lives, and the first byte
// typed while it lives; or ("stop") how long the teardown takes with a reader
// blocked on input. The wine end-to-end tests run it.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "channels/console-io.h"
#include "cmdline/settings.h"

namespace {

unsigned long input_mode() {
    DWORD mode = 0;
    if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) return 0xFFFFFFFFul;
    return mode;
}

void print_mode_at_exit() {
    std::printf("at exit 0x%lX\n", input_mode());
}

}  // namespace

int main(int argc, char** argv) {
    // "i" switches on the dump of the mode change; "exit" ends the program
    // through exit() while the channel lives, so that the at-exit handler runs.
    if (argc > 1 && std::strcmp(argv[1], "stop") == 0) {
        // A reader blocked on standard input that nothing writes to: the
        // teardown must end (or leave) it and return.
        auto* channel = new tolvan::COMM_CONSOLE();
        char none = 0;
        channel->read(&none, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto started = std::chrono::steady_clock::now();
        delete channel;
        const auto took = std::chrono::steady_clock::now() - started;
        std::printf("stopped in %d ms\n",
                    static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
        return 0;
    }
    bool dump = argc > 1 && std::strcmp(argv[1], "i") == 0;
    bool exit_while_alive = argc > 1 && std::strcmp(argv[1], "exit") == 0;
    if (dump) tolvan::settings.dump_flags[static_cast<unsigned char>('i')] = 1;

    std::printf("before 0x%lX\n", input_mode());
    // Registered before the channel's handler, so it runs after it.
    if (exit_while_alive) std::atexit(print_mode_at_exit);
    auto* channel = new tolvan::COMM_CONSOLE();
    std::printf("during 0x%lX\n", input_mode());
    std::printf("type a key\n");

    char byte = 0;
    int n = 0;
    while ((n = channel->read(&byte, 1)) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::printf("typed %d 0x%02X\n", n, static_cast<unsigned char>(byte));
    if (exit_while_alive) std::exit(0);

    delete channel;  // ends the reader blocked on the next key, and restores the mode
    std::printf("after 0x%lX\n", input_mode());
    return 0;
}
