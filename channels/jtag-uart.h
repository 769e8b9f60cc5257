// The JTAG UART channel: the target side of the relay, reached through the
// jtag_corvex access library; connects, explains failures, reconnects.
#pragma once

#include "relay/comm.h"

struct JTAGCORVEX;

namespace tolvan {

class COMM_JTAG_UART : public COMM {
public:
    /// Connects to the JTAG UART the settings choose, or reports why it
    /// cannot and ends the program with status 1.
    COMM_JTAG_UART();
    ~COMM_JTAG_UART() override;

    void wait_open() override;
    /// Reconnects when disconnected, reads, detects an interrupted
    /// connection, and waits 100 ms when nothing came.
    int read(char* buffer, unsigned int max) override;
    int write(const char* data, unsigned int len) override;

private:
    JTAGCORVEX* m_connection = nullptr;
};

/// Prints the explanation of a failed connection for a library error code.
void print_connection_failure(int code, const char* error_text);

}  // namespace tolvan
