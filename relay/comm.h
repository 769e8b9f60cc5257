// The byte-channel interface between the relay loop and its two ends, the
// host console and the target's JTAG UART, and the reasons a relay ends.
#pragma once

namespace tolvan {

/// A byte channel. Counts are ints: negative means failure, 0 nothing now.
class COMM {
public:
    virtual ~COMM() = default;
    /// Called once on the console channel just before relaying starts.
    virtual void on_ready() {}
    /// Blocks until the channel is open.
    virtual void wait_open() {}
    /// Places up to `max` bytes; never blocks indefinitely.
    virtual int read(char* buffer, unsigned int max) = 0;
    /// Takes up to `len` bytes; 0 is allowed.
    virtual int write(const char* data, unsigned int len) = 0;
};

enum ExitReason {
    user_timeout = 0,
    remote_ctrl_d = 1,
    target_io_error = 2,
    host_ctrl_c = 3,
};

}  // namespace tolvan
