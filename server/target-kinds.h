// The kinds of target a UART can have, one row each: the kind's name, its own
// board-file keys with their checks, and its factory. The board-file loader
// and the server's target factory read the table; a new kind is one row in
// target-kinds.cpp, a file of its own and a line in CMake.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <asio/io_context.hpp>

#include "server/board.h"
#include "server/uart.h"

/// A board-file key of a kind's own.
struct TARGET_KEY {
    const char* name;
    TargetValue fallback;  ///< the value when the key is not given; its type is the key's
    /// When not empty, the key must be given (a text not empty): this error otherwise.
    const char* missing = "";
    /// Empty when the value given is acceptable, else what is wrong with it.
    std::string (*check)(const TargetValue& value) = nullptr;
};

struct TARGET_KIND {
    const char* name;
    std::vector<TARGET_KEY> keys;
    /// Makes a target of this kind (not yet started).
    std::unique_ptr<TARGET> (*make)(const TargetSettings& settings, asio::io_context& io);
    /// Run once as the server comes up, for kinds that watch something of their own.
    void (*prepare)(asio::io_context& io) = nullptr;
    /// Run once as the server goes down, after every target has stopped.
    void (*finish)() = nullptr;

    bool takes(std::string_view key) const;
};

/// Every kind, in the order in which the board file's errors name them.
const std::vector<TARGET_KIND>& target_kinds();

/// The kind of that name, or null.
const TARGET_KIND* find_target_kind(std::string_view name);

/// The names of the kinds for a message, "demo, loopback, exec, tcp or serial"; with
/// a key, of those that take it.
std::string target_kind_names(std::string_view taking = {});

/// Runs every kind's preparation.
void prepare_target_kinds(asio::io_context& io);
/// Runs every kind's finish (exec commands that ignore SIGTERM are killed).
void finish_target_kinds();

/// Makes the target a UART setting asks for (not yet started). Null with
/// `error` filled when it cannot be made.
std::unique_ptr<TARGET> make_target(const UartConfig& config, asio::io_context& io, std::string& error);
