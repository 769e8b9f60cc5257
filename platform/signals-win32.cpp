// Ctrl-C reaches the handler as SIGINT, on a thread the system starts for it.
// The C runtime resets the handler to the default before it calls it, so the
// handler installs itself again.
#include "platform/signals.h"

#include <csignal>

namespace platform {

void reinstall_stop_handler(int signal, signal_handler handler) {
    std::signal(signal, handler);
}

void install_stop_handler(signal_handler handler) {
    std::signal(SIGINT, handler);
}

}  // namespace platform
