// The serial target is not available on Windows: board files that ask for
// one load, and starting it fails with a clear message.
#include "server/target-kinds.h"

namespace {

class SERIAL_TARGET : public TARGET {
public:
    explicit SERIAL_TARGET(const TargetSettings& settings)
        : m_device(settings.text("device")), m_rate(settings.number("baud")),
          m_rts_cts(settings.text("flow") == "rts/cts") {}
    std::string describe() const override {
        return "serial: " + m_device + " " + std::to_string(m_rate) + (m_rts_cts ? " rts/cts" : "");
    }
    bool start(UART&, std::string& error) override {
        error = "serial targets are not supported on Windows; use a tcp target";
        return false;
    }
    void stop() override {}
    bool exchange(UART&) override { return false; }

private:
    std::string m_device;
    std::int64_t m_rate;
    bool m_rts_cts;
};

}  // namespace

std::unique_ptr<TARGET> make_serial_target(const TargetSettings& settings, asio::io_context&) {
    return std::make_unique<SERIAL_TARGET>(settings);
}
