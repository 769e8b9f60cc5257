// Encoders and strict decoders of the protocol's message payloads.
#include "wire/messages.h"

namespace wire {

void PayloadWriter::u32(std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        m_bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

void PayloadWriter::text(const std::string& value) {
    const std::size_t size = value.size() < k_max_text ? value.size() : k_max_text;
    m_bytes.push_back(static_cast<std::uint8_t>(size));
    m_bytes.push_back(static_cast<std::uint8_t>(size >> 8));
    m_bytes.insert(m_bytes.end(), value.begin(), value.begin() + static_cast<std::ptrdiff_t>(size));
}

std::uint8_t PayloadReader::u8() {
    if (!m_ok || m_size - m_pos < 1) {
        m_ok = false;
        return 0;
    }
    return m_data[m_pos++];
}

std::uint32_t PayloadReader::u32() {
    if (!m_ok || m_size - m_pos < 4) {
        m_ok = false;
        return 0;
    }
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<std::uint32_t>(m_data[m_pos++]) << (8 * i);
    return value;
}

std::string PayloadReader::text() {
    if (!m_ok || m_size - m_pos < 2) {
        m_ok = false;
        return {};
    }
    const std::size_t size = m_data[m_pos] | static_cast<std::size_t>(m_data[m_pos + 1]) << 8;
    if (size > k_max_text || m_size - m_pos - 2 < size) {
        m_ok = false;
        return {};
    }
    std::string value(reinterpret_cast<const char*>(m_data + m_pos + 2), size);
    m_pos += 2 + size;
    return value;
}

static bool read_bool(PayloadReader& reader, bool& value) {
    const std::uint8_t byte = reader.u8();
    value = byte != 0;
    return byte <= 1;
}

std::vector<std::uint8_t> encode(const OpenRequest& message) {
    PayloadWriter writer;
    writer.i32(message.device);
    writer.i32(message.instance);
    writer.u32(message.pid);
    writer.text(message.cable);
    writer.text(message.app_name);
    return writer.bytes();
}

bool decode(const FrameView& frame, OpenRequest& message) {
    if (frame.type != FrameType::open)
        return false;
    PayloadReader reader(frame.payload, frame.size);
    message.device = reader.i32();
    message.instance = reader.i32();
    message.pid = reader.u32();
    message.cable = reader.text();
    message.app_name = reader.text();
    return reader.finished();
}

std::vector<std::uint8_t> encode(const OpenReply& message) {
    PayloadWriter writer;
    writer.i32(message.code);
    writer.text(message.text);
    if (message.code == 0) {
        writer.text(message.cable);
        writer.i32(message.device);
        writer.i32(message.instance);
        writer.i32(message.support);
        writer.u32(message.rx_credit);
        writer.u32(message.window);
    }
    return writer.bytes();
}

bool decode(const FrameView& frame, OpenReply& message) {
    if (frame.type != FrameType::open_reply)
        return false;
    PayloadReader reader(frame.payload, frame.size);
    message.code = reader.i32();
    message.text = reader.text();
    if (reader.ok() && message.code == 0) {
        message.cable = reader.text();
        message.device = reader.i32();
        message.instance = reader.i32();
        message.support = reader.i32();
        message.rx_credit = reader.u32();
        message.window = reader.u32();
        if (message.window == 0)
            return false;
    }
    return reader.finished();
}

namespace {

/// Whether any cable of the reply has a problem to tell.
bool has_problems(const ListReply& message) {
    for (const CableInfo& cable : message.cables)
        if (!cable.problem.empty() || !cable.adapter_errors.empty())
            return true;
    return false;
}

/// Whether any cable of the reply is a real chain with facts to list.
bool has_chain_facts(const ListReply& message) {
    for (const CableInfo& cable : message.cables)
        if (!cable.adapter.empty() || !cable.tap_notes.empty())
            return true;
    return has_problems(message);
}

void write_texts(PayloadWriter& writer, const std::vector<std::string>& texts) {
    writer.u32(static_cast<std::uint32_t>(texts.size()));
    for (const std::string& text : texts)
        writer.text(text);
}

bool read_texts(PayloadReader& reader, std::size_t frame_size, std::vector<std::string>& texts) {
    const std::uint32_t count = reader.u32();
    if (count > frame_size)
        return false;
    for (std::uint32_t n = 0; n < count && reader.ok(); ++n)
        texts.push_back(reader.text());
    return true;
}

}  // namespace

std::vector<std::uint8_t> encode(const ListReply& message) {
    PayloadWriter writer;
    writer.u32(static_cast<std::uint32_t>(message.cables.size()));
    for (const CableInfo& cable : message.cables) {
        writer.text(cable.name);
        writer.u8(cable.plugged);
        writer.u8(cable.has_board);
        writer.u8(cable.powered);
        writer.i32(cable.support);
        writer.u32(static_cast<std::uint32_t>(cable.devices.size()));
        for (const DeviceInfo& device : cable.devices) {
            writer.u32(static_cast<std::uint32_t>(device.uarts.size()));
            for (const UartInfo& uart : device.uarts) {
                writer.u8(uart.compatible);
                writer.u32(uart.rx_fifo);
                writer.u32(uart.tx_fifo);
                writer.u32(uart.rx_fill);
                writer.u32(uart.tx_fill);
                writer.text(uart.target);
                writer.u8(uart.attached);
                writer.u8(uart.held);
                writer.text(uart.holder_name);
                writer.u32(uart.holder_pid);
            }
        }
    }
    if (message.server_version)
        writer.text(*message.server_version);
    if (message.server_version && has_chain_facts(message)) {
        writer.u32(static_cast<std::uint32_t>(message.cables.size()));
        for (const CableInfo& cable : message.cables) {
            writer.text(cable.adapter);
            write_texts(writer, cable.tap_notes);
        }
        if (has_problems(message)) {
            writer.u32(static_cast<std::uint32_t>(message.cables.size()));
            for (const CableInfo& cable : message.cables) {
                writer.text(cable.problem);
                write_texts(writer, cable.adapter_errors);
            }
        }
    }
    return writer.bytes();
}

bool decode(const FrameView& frame, ListReply& message) {
    if (frame.type != FrameType::list_reply)
        return false;
    PayloadReader reader(frame.payload, frame.size);
    message.cables.clear();
    // Counts are checked against the bytes left so that a hostile count
    // cannot make us allocate without bound.
    const std::uint32_t cables = reader.u32();
    if (cables > frame.size)
        return false;
    for (std::uint32_t c = 0; c < cables && reader.ok(); ++c) {
        CableInfo cable;
        cable.name = reader.text();
        bool ok = read_bool(reader, cable.plugged) && read_bool(reader, cable.has_board) &&
                  read_bool(reader, cable.powered);
        cable.support = reader.i32();
        const std::uint32_t devices = reader.u32();
        if (!ok || devices > frame.size)
            return false;
        for (std::uint32_t d = 0; d < devices && reader.ok(); ++d) {
            DeviceInfo device;
            const std::uint32_t uarts = reader.u32();
            if (uarts > frame.size)
                return false;
            for (std::uint32_t u = 0; u < uarts && reader.ok(); ++u) {
                UartInfo uart;
                ok = read_bool(reader, uart.compatible);
                uart.rx_fifo = reader.u32();
                uart.tx_fifo = reader.u32();
                uart.rx_fill = reader.u32();
                uart.tx_fill = reader.u32();
                uart.target = reader.text();
                ok = read_bool(reader, uart.attached) && ok;
                ok = read_bool(reader, uart.held) && ok;
                uart.holder_name = reader.text();
                uart.holder_pid = reader.u32();
                if (!ok)
                    return false;
                device.uarts.push_back(std::move(uart));
            }
            cable.devices.push_back(std::move(device));
        }
        message.cables.push_back(std::move(cable));
    }
    message.server_version.reset();
    if (reader.ok() && !reader.finished())
        message.server_version = reader.text();
    if (reader.ok() && !reader.finished()) {
        if (reader.u32() != message.cables.size())
            return false;
        for (CableInfo& cable : message.cables) {
            cable.adapter = reader.text();
            if (!read_texts(reader, frame.size, cable.tap_notes))
                return false;
        }
        if (reader.ok() && !reader.finished()) {
            if (reader.u32() != message.cables.size())
                return false;
            for (CableInfo& cable : message.cables) {
                cable.problem = reader.text();
                if (!read_texts(reader, frame.size, cable.adapter_errors))
                    return false;
            }
            if (!has_problems(message))
                return false;
        }
        // Each section is sent only when a cable has something for it: one
        // form for each reply.
        if (!has_chain_facts(message))
            return false;
    }
    return reader.finished();
}

std::vector<std::uint8_t> encode(const ControlRequest& message) {
    PayloadWriter writer;
    writer.u8(static_cast<std::uint8_t>(message.op));
    writer.text(message.cable);
    writer.i32(message.device);
    writer.i32(message.instance);
    return writer.bytes();
}

bool decode(const FrameView& frame, ControlRequest& message) {
    if (frame.type != FrameType::control)
        return false;
    PayloadReader reader(frame.payload, frame.size);
    const std::uint8_t op = reader.u8();
    message.cable = reader.text();
    message.device = reader.i32();
    message.instance = reader.i32();
    if (op < static_cast<std::uint8_t>(ControlOp::unplug) ||
        op > static_cast<std::uint8_t>(ControlOp::attach))
        return false;
    message.op = static_cast<ControlOp>(op);
    return reader.finished();
}

std::vector<std::uint8_t> encode(const ControlReply& message) {
    PayloadWriter writer;
    writer.i32(message.status);
    writer.text(message.message);
    return writer.bytes();
}

bool decode(const FrameView& frame, ControlReply& message) {
    if (frame.type != FrameType::control_reply)
        return false;
    PayloadReader reader(frame.payload, frame.size);
    message.status = reader.i32();
    message.message = reader.text();
    return reader.finished();
}

std::vector<std::uint8_t> encode_count(std::uint32_t count) {
    PayloadWriter writer;
    writer.u32(count);
    return writer.bytes();
}

bool decode_count(const FrameView& frame, std::uint32_t& count) {
    if (frame.type != FrameType::credit && frame.type != FrameType::ack)
        return false;
    PayloadReader reader(frame.payload, frame.size);
    count = reader.u32();
    return reader.finished();
}

std::vector<std::uint8_t> encode_text(const std::string& text) {
    PayloadWriter writer;
    writer.text(text);
    return writer.bytes();
}

bool decode_text(const FrameView& frame, std::string& text) {
    if (frame.type != FrameType::auth && frame.type != FrameType::refused)
        return false;
    PayloadReader reader(frame.payload, frame.size);
    text = reader.text();
    return reader.finished();
}

std::vector<std::uint8_t> encode_fault(FaultReason reason) {
    PayloadWriter writer;
    writer.u8(static_cast<std::uint8_t>(reason));
    return writer.bytes();
}

bool decode_fault(const FrameView& frame, FaultReason& reason) {
    if (frame.type != FrameType::fault)
        return false;
    PayloadReader reader(frame.payload, frame.size);
    const std::uint8_t value = reader.u8();
    if (value != static_cast<std::uint8_t>(FaultReason::unplugged) &&
        value != static_cast<std::uint8_t>(FaultReason::power_off))
        return false;
    reason = static_cast<FaultReason>(value);
    return reader.finished();
}

}  // namespace wire
