// What the serial target's host-specific files share: the checks of its
// board-file keys and the description chainprobe shows.
#pragma once

#include <string>

#include "server/board.h"

std::string check_serial_device(const TargetValue& value);
std::string check_serial_rate(const TargetValue& value);
std::string check_serial_flow(const TargetValue& value);

/// "serial: /dev/ttyUSB0 115200", with " rts/cts" when asked for.
std::string describe_serial(const TargetSettings& settings);
