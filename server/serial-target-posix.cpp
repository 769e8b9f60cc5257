// The serial target on POSIX systems: the UART's other side is a tty device,
// raw 8N1 at the rate asked for; a device that goes away unplugs the cable.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include "server/log.h"
#include "server/serial-target.h"
#include "server/stream-target.h"
#include "server/target-kinds.h"

namespace {

/// How often the path of a device that is gone is tried again.
constexpr auto k_watch_period = std::chrono::milliseconds(250);

/// The termios speed constant of a rate, where this host has one.
bool speed_constant(std::int64_t rate, speed_t& speed) {
#define TT_RATE(n) \
    case n: speed = B##n; return true;
    switch (rate) {
        TT_RATE(50) TT_RATE(75) TT_RATE(110) TT_RATE(134) TT_RATE(150) TT_RATE(200) TT_RATE(300) TT_RATE(600)
        TT_RATE(1200) TT_RATE(1800) TT_RATE(2400) TT_RATE(4800) TT_RATE(9600) TT_RATE(19200) TT_RATE(38400)
        TT_RATE(57600) TT_RATE(115200) TT_RATE(230400)
#ifdef B4000000
        TT_RATE(460800) TT_RATE(500000) TT_RATE(576000) TT_RATE(921600) TT_RATE(1000000) TT_RATE(1152000)
        TT_RATE(1500000) TT_RATE(2000000) TT_RATE(2500000) TT_RATE(3000000) TT_RATE(3500000) TT_RATE(4000000)
#endif
    default: return false;
    }
#undef TT_RATE
}

enum class Opening { opened, absent, failed };

class SERIAL_TARGET : public ONE_STREAM_TARGET<asio::posix::stream_descriptor> {
public:
    SERIAL_TARGET(const TargetSettings& settings, asio::io_context& io)
        : ONE_STREAM_TARGET(io), m_description(describe_serial(settings)), m_device(settings.text("device")),
          m_rate(settings.number("baud")), m_rts_cts(settings.text("flow") == "rts/cts"), m_watch(io) {}
    ~SERIAL_TARGET() override {
        on_presence(nullptr);  // the cable may be going too
        stop();
    }

    std::string describe() const override { return m_description; }

    bool start(UART& uart, std::string& error) override {
        stop();
        m_uart = &uart;
        const Opening opening = open_device(error);
        if (opening == Opening::failed)
            return false;
        m_running = true;
        if (opening == Opening::absent) {
            // Not there (yet): the cable is unplugged until it appears. Said
            // once: a service that cannot see devices would otherwise wait
            // for ever without a word.
            server_log(m_device +
                       " is not there; its cable is unplugged until it appears (a service needs access to it: see "
                       "jtag-server(1))");
            m_back = "is there now";
            report_presence(false);
            watch();
            return true;
        }
        begin_stream(uart);
        report_presence(true);
        return true;
    }

    void stop() override {
        m_running = false;
        ++m_watch_generation;
        m_watch.cancel();
        close_device();
        withdraw_presence();
    }

protected:
    // A tty in raw mode ends its input or fails a write only when it is hung
    // up: the adapter was pulled, the other side of a pseudo-terminal closed.
    void on_read_end() override { gone(); }
    void on_write_end() override { gone(); }

private:
    void close_device() {
        end_stream();
        // Output not yet sent is dropped first: closing a tty waits (in the
        // kernel, inside the event loop) until it has drained, which with
        // CTS low or a slow rate takes up to 30 s. Those bytes are lost
        // anyway.
        if (m_stream.is_open())
            ::tcflush(m_stream.native_handle(), TCIOFLUSH);
        std::error_code ignored;
        m_stream.close(ignored);
    }

    void gone() {
        if (!m_running)
            return;
        close_device();
        server_log(m_device + " is gone; its cable is unplugged until it comes back");
        m_back = "is back";
        report_presence(false);
        watch();
    }

    /// Tries the path again after a while, until the device opens.
    void watch() {
        const std::uint64_t generation = m_watch_generation;
        m_watch.expires_after(k_watch_period);
        m_watch.async_wait([this, generation](const std::error_code& error) {
            if (error || generation != m_watch_generation || !m_running)
                return;
            std::string problem;
            if (open_device(problem) != Opening::opened) {
                // There but not usable (yet): said once, tried again.
                if (!problem.empty() && problem != m_said)
                    server_log(problem + "; trying again");
                m_said = problem;
                watch();
                return;
            }
            m_said.clear();
            server_log(m_device + " " + m_back);
            begin_stream(*m_uart);
            report_presence(true);
            m_uart->pump();
        });
    }

    /// Opens the device and sets it up. A path with no device behind it is
    /// absent, not failed.
    Opening open_device(std::string& error) {
        const int fd = ::open(m_device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            const int code = errno;
            if (code == ENOENT || code == ENXIO || code == ENODEV || code == EIO)
                return Opening::absent;
            error = "cannot open " + m_device + ": " + std::strerror(code);
            return Opening::failed;
        }
        if (!set_mode(fd, error)) {
            ::close(fd);
            return Opening::failed;
        }
        // Opened non-blocking, as the event loop needs it.
        std::error_code code;
        m_stream.assign(fd, code);
        if (code) {
            ::close(fd);
            error = "cannot use " + m_device + ": " + code.message();
            return Opening::failed;
        }
        return Opening::opened;
    }

    /// Raw 8N1 at the rate asked for: no echo, no line editing or signals,
    /// no translation of line ends, no software flow control; RTS/CTS only
    /// when asked for.
    bool set_mode(int fd, std::string& error) {
        speed_t speed = B0;
        if (!speed_constant(m_rate, speed)) {
            error = "the rate " + std::to_string(m_rate) + " is not available on this host";
            return false;
        }
        termios mode{};
        if (::tcgetattr(fd, &mode) != 0) {
            error = m_device + " is not a serial device: " + std::strerror(errno);
            return false;
        }
        mode.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                               IXOFF | IXANY | INPCK);
        mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        mode.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        mode.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
        mode.c_cflag |= CS8 | CREAD | CLOCAL;
#ifdef CRTSCTS
        mode.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        if (m_rts_cts)
            mode.c_cflag |= CRTSCTS;
#else
        if (m_rts_cts) {
            error = "rts/cts flow control is not available on this host";
            return false;
        }
#endif
        mode.c_cc[VMIN] = 1;
        mode.c_cc[VTIME] = 0;
        if (::cfsetispeed(&mode, speed) != 0 || ::cfsetospeed(&mode, speed) != 0 ||
            ::tcsetattr(fd, TCSANOW, &mode) != 0) {
            error = "cannot set up " + m_device + ": " + std::strerror(errno);
            return false;
        }
        // tcsetattr succeeds when the driver took any part of it.
        termios taken{};
        if (::tcgetattr(fd, &taken) != 0 || ::cfgetospeed(&taken) != speed ||
            (taken.c_cflag & (CSIZE | PARENB | CSTOPB)) != CS8 || (taken.c_lflag & (ICANON | ECHO)) != 0) {
            error = m_device + " does not take raw 8N1 at " + std::to_string(m_rate);
            return false;
        }
        return true;
    }

    std::string m_description;
    std::string m_device;
    std::int64_t m_rate;
    bool m_rts_cts;
    asio::steady_timer m_watch;
    std::uint64_t m_watch_generation = 0;
    UART* m_uart = nullptr;
    bool m_running = false;
    std::string m_said;  ///< the last problem told while watching
    const char* m_back = "is back";  ///< what is told when the device opens
};

}  // namespace

std::unique_ptr<TARGET> make_serial_target(const TargetSettings& settings, asio::io_context& io) {
    return std::make_unique<SERIAL_TARGET>(settings, io);
}
