// The server's cables with their boards, devices and UARTs at run time, and
// the rules that pick a cable and a UART for an open or a control request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/uart.h"
#include "wire/messages.h"
#include "wire/open-codes.h"

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

struct CableMatch {
    wire::OpenCode code = wire::OpenCode::ok;  ///< ok, ambiguous_cable or no_cable
    CABLE* cable = nullptr;
    std::string text;    ///< what went wrong, in words
};

/// The exact full name wins; otherwise a text that is part of exactly one
/// name. An empty text picks the only cable.
CableMatch match_cable(const CABLES& cables, const std::string& text);

struct Selection {
    wire::OpenCode code = wire::OpenCode::ok;
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
