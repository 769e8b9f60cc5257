// The server's cables with their boards, devices and UARTs at run time, and
// the rules that pick a cable and a UART for an open or a control request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/uart.h"
#include "wire/messages.h"

struct DEVICE {
    std::vector<std::unique_ptr<UART>> uarts;  ///< instances numbered from 0
};

struct CABLE {
    std::string name;
    bool plugged = true;
    bool has_board = true;
    bool powered = true;
    std::int32_t support = 0;
    std::vector<DEVICE> devices;  ///< devices numbered from 1
};

using CABLES = std::vector<std::unique_ptr<CABLE>>;

/// Open failure codes as the library reports them.
enum OPEN_CODE {
    OPEN_OK = 0,
    OPEN_AMBIGUOUS_CABLE = -2,
    OPEN_NO_CABLE = -3,
    OPEN_UNPLUGGED = -4,
    OPEN_BOARD_OFF = -5,
    OPEN_IN_USE = -6,
    OPEN_AMBIGUOUS_UART = -7,
    OPEN_NO_UART = -8,
    OPEN_INCOMPATIBLE = -9,
};

struct CableMatch {
    int code = OPEN_OK;  ///< OPEN_OK, OPEN_AMBIGUOUS_CABLE or OPEN_NO_CABLE
    CABLE* cable = nullptr;
    std::string text;    ///< what went wrong, in words
};

/// The exact full name wins; otherwise a text that is part of exactly one
/// name. An empty text picks the only cable.
CableMatch match_cable(const CABLES& cables, const std::string& text);

struct Selection {
    int code = OPEN_OK;
    std::string text;
    CABLE* cable = nullptr;
    UART* uart = nullptr;
    int device = 0;
    int instance = 0;
};

/// Picks the UART for an open. Device 0 or below and instance below 0
/// choose, which succeeds only when the choice is unique.
Selection select_uart(const CABLES& cables, const std::string& cable, int device, int instance);

/// What chainprobe lists.
wire::ListReply describe_chain(const CABLES& cables);
