// A small client of the installed access library: opens the JTAG UART the
// server offers, sends a line to its loopback target and waits for it to
// come back. Prints "echoed: LINE" and returns 0, or says what failed.
#include <jtag_corvex.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    const std::string line = argc > 1 ? argv[1] : "hello, target";
    JTAGCORVEX* link = jtagcorvex_open(nullptr, -1, -1, "jtag-corvex-client");
    if (link == nullptr) {
        const char* text = nullptr;
        const int code = jtagcorvex_get_error(&text);
        std::fprintf(stderr, "jtag-corvex-client: open failed with %d: %s\n", code, text);
        return 1;
    }
    int written = jtagcorvex_write(link, line.data(), static_cast<unsigned>(line.size()));
    std::string echoed;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (written == static_cast<int>(line.size()) && echoed.size() < line.size() &&
           std::chrono::steady_clock::now() < give_up) {
        char buffer[64];
        const int n = jtagcorvex_read(link, buffer, sizeof buffer);
        if (n < 0)
            break;
        echoed.append(buffer, static_cast<std::size_t>(n));
        if (n == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    jtagcorvex_close(link);
    if (echoed != line) {
        std::fprintf(stderr, "jtag-corvex-client: sent \"%s\", got back \"%s\"\n", line.c_str(), echoed.c_str());
        return 1;
    }
    std::printf("echoed: %s\n", echoed.c_str());
    return 0;
}
