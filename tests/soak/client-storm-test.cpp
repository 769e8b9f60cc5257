// A storm of clients against one server: 24 clients connect again and again,
// each sending random valid and broken frames (opens of any device and
// instance, data, acks, control requests with any operation byte, listings,
// an open with one byte changed), reading a little or nothing and closing
// abruptly. The board's exec targets start and stop all the while. The
// server stays up and still answers a listing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/time.h>

#include "soak-support.h"
#include "tests/support/raw-client.h"
#include "wire/messages.h"

namespace soak {
namespace {

using namespace std::chrono_literals;

const std::string CABLE = "SimCable [sim-0]";

std::string storm_board() {
    return cable_table(CABLE) + DEVICE_TABLE + uart_table(LOOPBACK_TARGET) + uart_table("target = \"demo\"\n") +
           uart_table(exec_target("exec cat")) + uart_table(exec_target("exec yes storm"));
}

/// One client's frames for one connection.
class FRAME_MAKER {
public:
    explicit FRAME_MAKER(unsigned seed) : m_random(seed) {}

    std::vector<std::uint8_t> connection() {
        std::vector<std::uint8_t> bytes;
        const int frames = pick(1, 12);
        for (int i = 0; i < frames; ++i) {
            const auto frame = one_frame();
            bytes.insert(bytes.end(), frame.begin(), frame.end());
        }
        return bytes;
    }

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }

private:
    std::string cable() {
        static const char* const names[] = {"", "SimCable", "sim-0", CABLE.c_str(), "no such cable"};
        return names[pick(0, 4)];
    }

    std::vector<std::uint8_t> open_payload() {
        wire::OpenRequest request;
        request.cable = cable();
        request.device = pick(-1, 2);
        request.instance = pick(-1, 4);
        request.app_name = "storm";
        request.pid = static_cast<std::uint32_t>(pick(1, 99999));
        return wire::encode(request);
    }

    std::vector<std::uint8_t> one_frame() {
        switch (pick(0, 7)) {
        case 0: return frame_of(wire::FrameType::open, open_payload());
        case 1: {
            std::vector<std::uint8_t> data(static_cast<std::size_t>(pick(0, 300)));
            for (auto& byte : data)
                byte = static_cast<std::uint8_t>(pick(0, 255));
            return frame_of(wire::FrameType::data, data);
        }
        case 2: return frame_of(wire::FrameType::ack, wire::encode_count(static_cast<std::uint32_t>(pick(0, 70000))));
        case 3:
        case 4: {
            // Any operation byte, valid or not; attach and detach start and
            // stop the exec targets' commands.
            wire::ControlRequest request;
            request.cable = cable();
            request.device = pick(0, 2);
            request.instance = pick(-1, 4);
            auto payload = wire::encode(request);
            payload[0] = static_cast<std::uint8_t>(pick(0, 3) == 0 ? pick(0, 255) : pick(1, 6));
            return frame_of(wire::FrameType::control, payload);
        }
        case 5: return frame_of(wire::FrameType::list);
        case 6: {
            auto frame = frame_of(wire::FrameType::open, open_payload());
            frame[static_cast<std::size_t>(pick(0, static_cast<int>(frame.size()) - 1))] ^=
                static_cast<std::uint8_t>(pick(1, 255));
            return frame;
        }
        default: {
            // The end of a frame cut off.
            auto frame = frame_of(wire::FrameType::open, open_payload());
            frame.resize(static_cast<std::size_t>(pick(1, static_cast<int>(frame.size()) - 1)));
            return frame;
        }
        }
    }

    std::mt19937 m_random;
};

TEST(ClientStorm, TwentyFourClientsWithRandomFramesLeaveTheServerUp) {
    const std::size_t seconds = env_size("TT_SOAK_STORM_SECONDS", 8);
    const unsigned seed = static_cast<unsigned>(env_size("TT_SOAK_SEED", std::random_device{}()));
    SCOPED_TRACE("seed " + std::to_string(seed) + " (TT_SOAK_SEED repeats it)");
    jtag_server server(storm_board());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::atomic<std::size_t> connections{0};
    std::atomic<bool> server_gone{false};
    std::vector<std::thread> clients;
    for (unsigned c = 0; c < 24; ++c) {
        clients.emplace_back([&, c] {
            FRAME_MAKER maker(seed + c);
            while (std::chrono::steady_clock::now() < deadline && !server_gone) {
                raw_client client(server.port());
                if (!client.connected()) {
                    server_gone = true;  // nothing listens any more
                    return;
                }
                ++connections;
                // A server that does not read this client now must not hold
                // the storm up: a write waits a little, then gives up.
                const timeval patience{0, 100 * 1000};
                ::setsockopt(client.fd(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
                for (int round = maker.pick(1, 3); round > 0; --round) {
                    if (!client.send(maker.connection()))
                        break;
                    if (maker.pick(0, 1) == 0)
                        client.receive(std::chrono::milliseconds(maker.pick(1, 20)));
                }
                if (maker.pick(0, 1) == 0) {
                    // Abruptly: a reset rather than an orderly end.
                    const linger reset{1, 0};
                    ::setsockopt(client.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                }
            }
        });
    }
    // The server tells of every client it drops: its standard error is
    // read all the while (here only), or a full pipe would hold it up.
    std::size_t log_size = 0;
    std::jthread reader([&](std::stop_token stop) {
        for (bool last = false; !last; std::this_thread::sleep_for(20ms)) {
            last = stop.stop_requested();
            log_size = server.log().size();
        }
    });
    for (auto& client : clients)
        client.join();
    const auto end_of_log = [&] {
        reader.request_stop();
        if (reader.joinable())
            reader.join();
        const std::string log = server.log();
        return log.substr(log.size() - std::min<std::size_t>(log.size(), 2000));
    };
    EXPECT_FALSE(server_gone) << "the server stopped listening\n" << end_of_log();

    // Whatever state the storm left: the cable in, the board on, the
    // targets attached; the listing shows them all.
    // It answers once it has worked through the connections still queued
    // (which takes a while under a sanitizer).
    std::string listing;
    const auto storm_end = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] { return server.chainprobe({}, &listing) == 0; }, 60s)) << listing;
    const std::chrono::duration<double> catching_up = std::chrono::steady_clock::now() - storm_end;
    ASSERT_EQ(server.chainprobe({"plug", CABLE}, &listing), 0) << listing;
    ASSERT_EQ(server.chainprobe({"power", CABLE, "on"}, &listing), 0) << listing;
    for (const char* instance : {"0", "1", "2", "3"})
        ASSERT_EQ(server.chainprobe({"attach", CABLE, "1", instance}, &listing), 0) << listing;
    EXPECT_EQ(server.chainprobe({}, &listing), 0) << listing;
    for (const char* target : {"loopback", "demo", "exec: exec cat", "exec: exec yes storm"})
        EXPECT_NE(listing.find(target), std::string::npos) << target << "\n" << listing;
    end_of_log();
    std::printf("[ figures  ] %zu connections in %zu s, %zu bytes of log, first listing after %.1f s, server "
                "resident %zu KiB\n",
                connections.load(), seconds, log_size, catching_up.count(), resident_kib(server.pid()));
}

}  // namespace
}  // namespace soak
