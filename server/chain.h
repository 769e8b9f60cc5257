// The server's cables with their boards, devices and UARTs at run time, and
// the rules that pick a cable and a UART for an open or a control request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "server/uart.h"
#include "wire/messages.h"
#include "wire/open-codes.h"

struct DEVICE {
    std::vector<std::unique_ptr<UART>> uarts;  ///< instances numbered from 0
};

struct CABLE : wire::CableState {
    std::vector<DEVICE> devices;  ///< devices numbered from 1
    /// Why the cable is unplugged: by hand (the board file, chainprobe), and
    /// how many of its targets report their other side gone. It is plugged
    /// in only when neither holds.
    bool unplugged_by_hand = false;
    int sides_gone = 0;
    /// A real chain: its adapter ("remote_bitbang at HOST:PORT") and what
    /// was found of each TAP; empty for a simulated cable.
    std::string adapter;
    std::vector<std::string> tap_notes;
    /// A real chain's last problem in the server's words (shown while it is
    /// down), and the last error lines of the OpenOCD the server runs for it.
    std::string problem;
    std::vector<std::string> adapter_errors;
};

using CABLES = std::vector<std::unique_ptr<CABLE>>;

/// Calls `visit(cable, device, instance, uart)` for every UART of `cable`,
/// devices numbered from 1 and instances from 0, in chain order. A visitor
/// that returns false stops the walk, which then returns false.
template <typename Visit>
bool for_each_uart(CABLE& cable, Visit&& visit) {
    for (std::size_t d = 0; d < cable.devices.size(); ++d) {
        for (std::size_t i = 0; i < cable.devices[d].uarts.size(); ++i) {
            UART& uart = *cable.devices[d].uarts[i];
            const int device = static_cast<int>(d) + 1;
            const int instance = static_cast<int>(i);
            if constexpr (std::is_same_v<decltype(visit(cable, device, instance, uart)), bool>) {
                if (!visit(cable, device, instance, uart))
                    return false;
            } else {
                visit(cable, device, instance, uart);
            }
        }
    }
    return true;
}

/// The same for every UART of every cable.
template <typename Visit>
bool for_each_uart(const CABLES& cables, Visit&& visit) {
    for (const auto& cable : cables)
        if (!for_each_uart(*cable, visit))
            return false;
    return true;
}

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
