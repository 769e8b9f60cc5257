// SIGINT, SIGTERM and SIGHUP all ask the terminal to stop; SIGPIPE is ignored
// so that a closed standard output gives a failed write, not a dead process
// with the console left raw.
#include "platform/signals.h"

#include <csignal>
#include <initializer_list>

namespace platform {

void reinstall_stop_handler(int signal, signal_handler handler) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocking wait should see the stop
    sigaction(signal, &action, nullptr);
}

void install_stop_handler(signal_handler handler) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) reinstall_stop_handler(signal, handler);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace platform
