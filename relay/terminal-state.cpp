// The process-wide state of the terminal driver that the relay loop reads.
#include "relay/terminal.h"

namespace tolvan {

std::atomic<int> stop_requested{0};
COMM* jtag_channel = nullptr;
COMM* console_channel = nullptr;
std::int64_t start_time = 0;

}  // namespace tolvan
