// The CPU side of an `--uart exec:COMMAND`: COMMAND under /bin/sh -c with
// the UART on its standard input and output, through non-blocking pipes. Its
// output is read only while the transmit FIFO has room (backpressure).
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "hardware/board-sim/board-model.h"

struct pollfd;

class EXEC_UART {
public:
    EXEC_UART(unsigned index, std::string command) : m_index(index), m_command(std::move(command)) {}
    ~EXEC_UART();
    EXEC_UART(const EXEC_UART&) = delete;
    EXEC_UART& operator=(const EXEC_UART&) = delete;

    /// Starts the command; false with `error` filled when it cannot start.
    bool start(std::string& error);
    /// After a short wait: false with `error` filled when the shell could
    /// not run the command (exit status 126 or 127).
    bool check_started(std::string& error);
    /// Adds the pipes worth waiting for to `fds`.
    void add_poll(std::vector<pollfd>& fds, const UART_SIDE& side) const;
    /// Moves bytes between the pipes and the UART's CPU side.
    void pump(UART_SIDE& side);
    void stop();

private:
    unsigned m_index;
    std::string m_command;
    pid_t m_pid = -1;
    int m_to_command = -1;
    int m_from_command = -1;
};
