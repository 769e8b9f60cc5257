// Stop signals: Ctrl-C (and on POSIX also SIGTERM and SIGHUP, the IDE's stop
// and a closed terminal window) reach one handler; a broken pipe is ignored.
#pragma once

namespace platform {

using signal_handler = void (*)(int);

/// Installs `handler` for every stop signal of this platform.
void install_stop_handler(signal_handler handler);

/// Installs `handler` again for `signal`; safe inside a signal handler.
void reinstall_stop_handler(int signal, signal_handler handler);

}  // namespace platform
