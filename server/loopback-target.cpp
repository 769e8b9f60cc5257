// The loopback target: what the host writes comes straight back, at the pace
// the host reads it (a full transmit FIFO stops the receive FIFO draining).
#include "server/target-kinds.h"

namespace {

class LOOPBACK_TARGET : public TARGET {
public:
    std::string describe() const override { return "loopback"; }
    bool start(UART&, std::string&) override { return true; }
    void stop() override {}
    bool exchange(UART& uart) override {
        const std::size_t count = std::min(uart.rx().size(), uart.tx().space());
        if (count == 0)
            return false;
        std::uint8_t bytes[4096];
        std::size_t moved = 0;
        while (moved < count) {
            const std::size_t got = uart.target_read(bytes, std::min(sizeof bytes, count - moved));
            uart.target_write(bytes, got);
            moved += got;
        }
        return true;
    }
};

}  // namespace

std::unique_ptr<TARGET> make_loopback_target(const TargetSettings&, asio::io_context&) {
    return std::make_unique<LOOPBACK_TARGET>();
}
