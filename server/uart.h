// A simulated JTAG UART: its two FIFOs between the client that holds it and
// the target behind it, and the pump that moves bytes between the three.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "server/fifo.h"
#include "wire/messages.h"

class UART;

/// The client side of a UART: the session that holds it.
class UART_HOST {
public:
    virtual ~UART_HOST() = default;
    virtual const std::string& client_name() const = 0;
    virtual std::uint32_t client_pid() const = 0;
    /// How many target bytes the client can take now (its flow-control window).
    virtual std::size_t host_room() const = 0;
    virtual void host_deliver(const std::uint8_t* data, std::size_t size) = 0;
    /// Everything the UART held when the client connected has been delivered.
    virtual void host_ready() = 0;
    /// The UART's receive FIFO has `count` more bytes of room.
    virtual void host_credit(std::uint32_t count) = 0;
    /// The end of a pump: send what was delivered.
    virtual void host_flush() = 0;
    /// The cable was unplugged or the board switched off; the UART is no
    /// longer held by this client.
    virtual void host_fault(wire::FaultReason reason) = 0;
};

/// What runs behind a UART.
class TARGET {
public:
    virtual ~TARGET() = default;
    /// Shown by chainprobe, e.g. "exec: cat".
    virtual std::string describe() const = 0;
    /// Starts (or restarts) the target. False with `error` filled on failure.
    virtual bool start(UART& uart, std::string& error) = 0;
    /// Stops the target: its process ends, its peer is dropped.
    virtual void stop() = 0;
    /// Moves bytes between the target and the UART's FIFOs with
    /// UART::target_write and UART::target_read; true when any moved.
    virtual bool exchange(UART& uart) = 0;
    /// After a pump: start whatever waits for I/O.
    virtual void after_pump(UART&) {}
    /// A client has just connected to the UART.
    virtual void host_connected(UART&) {}
    /// Where a target listens for its other side, if it does.
    virtual std::string listen_address() const { return {}; }
    /// The target has ended by itself (an exec command that exited): an
    /// attach starts it again.
    virtual bool ended() const { return false; }

    /// What a target reports of its other side (a device that can be
    /// pulled out): it went away, it came back, or the target stopped
    /// watching it (a stop) while it was away.
    enum class Presence { gone, back, withdrawn };
    /// Hears of those changes. The owner of the cable installs it; it may
    /// fault the UART's holder but must not stop or destroy the target.
    using presence_handler = std::function<void(Presence change)>;
    void on_presence(presence_handler handler) { m_on_presence = std::move(handler); }
    /// What the target last reported; true for targets that never do.
    bool present() const { return m_present; }

protected:
    /// Reports a change of presence; the same state again is no change.
    void report_presence(bool present) {
        if (present == m_present)
            return;
        m_present = present;
        if (m_on_presence)
            m_on_presence(present ? Presence::back : Presence::gone);
    }
    /// A stopped target no longer says its other side is gone: whatever
    /// becomes of the device, it is not this target's to report.
    void withdraw_presence() {
        if (m_present)
            return;
        m_present = true;
        if (m_on_presence)
            m_on_presence(Presence::withdrawn);
    }

private:
    presence_handler m_on_presence;
    bool m_present = true;
};

class UART {
public:
    UART(std::size_t rx_fifo, std::size_t tx_fifo, bool compatible);

    bool compatible() const { return m_compatible; }
    const FIFO& rx() const { return m_rx; }
    const FIFO& tx() const { return m_tx; }

    UART_HOST* holder() const { return m_holder; }
    /// Gives the UART to `host`: it gets what the UART holds now, then the
    /// ready mark, and the target hears of the connection.
    void attach_host(UART_HOST& host);
    /// The holder went away; the UART is free at once.
    void detach_host();
    /// The cable was unplugged or the board switched off.
    void fault_host(wire::FaultReason reason);
    /// Free room in the receive FIFO, which is the credit a new holder gets.
    std::size_t host_credit() const { return m_rx.space(); }
    /// Bytes from the holder. False when they do not fit: the client
    /// exceeded its credit.
    bool host_write(const std::uint8_t* data, std::size_t size);

    TARGET* target() const { return m_target.get(); }
    void set_target(std::unique_ptr<TARGET> target) { m_target = std::move(target); }
    bool target_attached() const { return m_target_attached; }
    /// Attaches the target again; it starts now when `powered`, else at power
    /// on. A target that has ended by itself is started again.
    bool attach_target(bool powered, std::string& error);
    void detach_target();
    /// Target side: into the transmit FIFO, out of the receive FIFO.
    std::size_t target_write(const std::uint8_t* data, std::size_t size);
    std::size_t target_read(std::uint8_t* data, std::size_t size);

    /// Board power: off clears the FIFOs and stops the target, on restarts it.
    void power_off();
    bool power_on(std::string& error);

    /// Moves bytes until nothing more can move, then lets holder and target
    /// start their I/O. Safe to call from inside itself (it then loops again).
    void pump();

private:
    /// Starts the target unless it runs already (or there is none).
    bool start_target(std::string& error);
    void stop_target();

    FIFO m_rx;  ///< host -> target
    FIFO m_tx;  ///< target -> host
    bool m_compatible;
    UART_HOST* m_holder = nullptr;
    std::unique_ptr<TARGET> m_target;
    bool m_target_attached = true;
    bool m_target_running = false;
    std::uint32_t m_freed = 0;  ///< receive FIFO room made since the last credit
    bool m_pumping = false;
    bool m_pump_again = false;
};
