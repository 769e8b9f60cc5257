// chainprobe's conversation with jtag-server: one request, one reply.
#pragma once

#include <string>

#include "wire/address.h"
#include "wire/messages.h"

/// Why a request got no reply.
enum class PROBE_FAILURE { none, unreachable, protocol };

struct PROBE_RESULT {
    PROBE_FAILURE failure = PROBE_FAILURE::none;
    std::string error;
};

PROBE_RESULT request_list(const wire::ServerAddress& server, wire::ListReply& reply);
PROBE_RESULT request_control(const wire::ServerAddress& server, const wire::ControlRequest& request,
                            wire::ControlReply& reply);

/// The listing as chainprobe prints it.
std::string format_chain(const wire::ListReply& chain);

/// The listing's first line: where the server is, its version (when it says)
/// and the protocol version.
std::string format_header(const wire::ServerAddress& server, const wire::ListReply& chain);
