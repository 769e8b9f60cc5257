// Where the cross-built Windows programs are, for the wine tests.
#pragma once

#include <string>

inline std::string windows_program(const std::string& name) {
    return std::string(TT_WINDOWS_BIN) + "/" + name;
}
