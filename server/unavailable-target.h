// A target kind that this host cannot run (exec and serial targets on
// Windows): board files that ask for one load, and starting it fails with a
// clear message.
#pragma once

#include <string>

#include "server/uart.h"

class UNAVAILABLE_TARGET : public TARGET {
public:
    /// `description` as chainprobe shows it; `kind` names the kind in the message.
    UNAVAILABLE_TARGET(std::string description, std::string kind)
        : m_description(std::move(description)), m_kind(std::move(kind)) {}
    std::string describe() const override { return m_description; }
    bool start(UART&, std::string& error) override {
        error = m_kind + " targets are not supported on Windows; use a tcp target";
        return false;
    }
    void stop() override {}
    bool exchange(UART&) override { return false; }

private:
    std::string m_description;
    std::string m_kind;
};
