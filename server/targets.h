// The targets that can run behind a UART, made from a board's UART settings.
#pragma once

#include <memory>
#include <string>

#include <asio/io_context.hpp>

#include "server/board.h"
#include "server/uart.h"

/// Makes the target a UART setting asks for (not yet started). Null with
/// `error` filled when it cannot be made.
std::unique_ptr<TARGET> make_target(const UartConfig& config, asio::io_context& io, std::string& error);

std::unique_ptr<TARGET> make_demo_target();
std::unique_ptr<TARGET> make_loopback_target();
std::unique_ptr<TARGET> make_exec_target(const std::string& command, asio::io_context& io);
std::unique_ptr<TARGET> make_tcp_target(const std::string& listen, asio::io_context& io);

/// Exited exec commands are reaped as they end (nothing to do where
/// processes are not children). The watcher lives as long as `io` runs.
void watch_exec_children(asio::io_context& io);
