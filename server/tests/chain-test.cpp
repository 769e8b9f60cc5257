// Cable matching and UART selection on a chain built in memory.
#include "server/chain.h"

#include <gtest/gtest.h>

namespace {

class FAKE_HOST : public UART_HOST {
public:
    const std::string& client_name() const override { return m_name; }
    std::uint32_t client_pid() const override { return 321; }
    std::size_t host_room() const override { return 0; }
    void host_deliver(const std::uint8_t*, std::size_t) override {}
    void host_ready() override {}
    void host_credit(std::uint32_t) override {}
    void host_flush() override {}
    void host_fault(wire::FaultReason) override {}

private:
    std::string m_name = "other-app";
};

/// A cable with devices holding the given numbers of UARTs.
std::unique_ptr<CABLE> cable(const std::string& name, std::vector<int> uarts_per_device) {
    auto result = std::make_unique<CABLE>();
    result->name = name;
    for (int count : uarts_per_device) {
        DEVICE device;
        for (int i = 0; i < count; ++i)
            device.uarts.push_back(std::make_unique<UART>(64, 64, true));
        result->devices.push_back(std::move(device));
    }
    return result;
}

}  // namespace

TEST(CableMatching, ExactNameBeatsSubstringOfSeveral) {
    CABLES cables;
    cables.push_back(cable("USB [1]", {1}));
    cables.push_back(cable("USB [1] x", {1}));
    EXPECT_EQ(match_cable(cables, "USB [1]").cable, cables[0].get());
    EXPECT_EQ(match_cable(cables, "x").cable, cables[1].get());
    const CABLE_MATCH several = match_cable(cables, "USB");
    EXPECT_EQ(several.code, wire::OpenCode::ambiguous_cable);
    EXPECT_EQ(several.text, "\"USB\" matches several cables: \"USB [1]\", \"USB [1] x\"");
    EXPECT_EQ(match_cable(cables, "usb").code, wire::OpenCode::no_cable);  // case matters
    EXPECT_EQ(match_cable(cables, "").code, wire::OpenCode::ambiguous_cable);
}

TEST(CableMatching, EmptyTextPicksTheOnlyCable) {
    CABLES cables;
    EXPECT_EQ(match_cable(cables, "").code, wire::OpenCode::no_cable);
    cables.push_back(cable("only", {1}));
    EXPECT_EQ(match_cable(cables, "").cable, cables[0].get());
}

TEST(UartSelection, CableStateComesBeforeUartChoice) {
    CABLES cables;
    cables.push_back(cable("c", {2}));
    cables[0]->plugged = false;
    cables[0]->powered = false;
    EXPECT_EQ(select_uart(cables, "", 9, 9).code, wire::OpenCode::cable_unplugged);
    cables[0]->plugged = true;
    EXPECT_EQ(select_uart(cables, "", 9, 9).code, wire::OpenCode::board_off);
    cables[0]->powered = true;
    cables[0]->has_board = false;
    EXPECT_EQ(select_uart(cables, "", 1, 0).code, wire::OpenCode::board_off);
}

TEST(UartSelection, ChoosingNeedsAUniqueAnswer) {
    CABLES cables;
    cables.push_back(cable("c", {0, 2, 1}));
    EXPECT_EQ(select_uart(cables, "", -1, -1).code, wire::OpenCode::ambiguous_uart);
    EXPECT_EQ(select_uart(cables, "", 0, 0).code, wire::OpenCode::ambiguous_uart);  // devices 2 and 3 have instance 0
    EXPECT_EQ(select_uart(cables, "", 1, -1).code, wire::OpenCode::no_uart);
    EXPECT_EQ(select_uart(cables, "", 4, 0).code, wire::OpenCode::no_uart);
    const UART_SELECTION one = select_uart(cables, "", -1, 1);
    ASSERT_EQ(one.code, wire::OpenCode::ok);
    EXPECT_EQ(one.device, 2);
    EXPECT_EQ(one.instance, 1);
    EXPECT_EQ(one.uart, cables[0]->devices[1].uarts[1].get());
    const UART_SELECTION last = select_uart(cables, "", 3, -1);
    ASSERT_EQ(last.code, wire::OpenCode::ok);
    EXPECT_EQ(last.device, 3);
    EXPECT_EQ(last.instance, 0);
}

TEST(UartSelection, IncompatibleAndHeld) {
    CABLES cables;
    cables.push_back(std::make_unique<CABLE>());
    cables[0]->name = "c";
    DEVICE device;
    device.uarts.push_back(std::make_unique<UART>(64, 64, false));
    device.uarts.push_back(std::make_unique<UART>(64, 64, true));
    cables[0]->devices.push_back(std::move(device));
    EXPECT_EQ(select_uart(cables, "c", 1, 0).code, wire::OpenCode::incompatible_uart);
    FAKE_HOST host;
    cables[0]->devices[0].uarts[1]->attach_host(host);
    const UART_SELECTION held = select_uart(cables, "c", 1, 1);
    EXPECT_EQ(held.code, wire::OpenCode::uart_in_use);
    EXPECT_EQ(held.text, "held by other-app (pid 321)");
    cables[0]->devices[0].uarts[1]->detach_host();
    EXPECT_EQ(select_uart(cables, "c", 1, 1).code, wire::OpenCode::ok);
}
