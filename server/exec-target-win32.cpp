// The exec target is not available on Windows: board files that ask for one
// load, and starting it fails with a clear message.
#include "server/target-kinds.h"

namespace {

class EXEC_TARGET : public TARGET {
public:
    explicit EXEC_TARGET(std::string command) : m_command(std::move(command)) {}
    std::string describe() const override { return "exec: " + m_command; }
    bool start(UART&, std::string& error) override {
        error = "exec targets are not supported on Windows; use a tcp target";
        return false;
    }
    void stop() override {}
    bool exchange(UART&) override { return false; }

private:
    std::string m_command;
};

}  // namespace

std::unique_ptr<TARGET> make_exec_target(const TargetSettings& settings, asio::io_context&) {
    return std::make_unique<EXEC_TARGET>(settings.text("command"));
}

void watch_exec_children(asio::io_context&) {}
