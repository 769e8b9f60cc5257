// The exported operations of the access library: argument checks, the
// process-wide record of the last failed open, and the calls into the link.
#include "jtag_corvex.h"

#include <mutex>
#include <string>

#include "jtag_corvex/link.h"
#include "wire/address.h"
#include "wire/open-codes.h"
#include "wire/secret.h"

// The header's codes stand alone for the library's users; they must say what
// the server and the library mean by them.
static_assert(JCVX_NO_ERROR == wire::code_value(wire::OpenCode::ok));
static_assert(JCVX_NO_SERVER == wire::code_value(wire::OpenCode::no_server));
static_assert(JCVX_AMBIGUOUS_CABLE == wire::code_value(wire::OpenCode::ambiguous_cable));
static_assert(JCVX_NO_CABLE == wire::code_value(wire::OpenCode::no_cable));
static_assert(JCVX_CABLE_UNPLUGGED == wire::code_value(wire::OpenCode::cable_unplugged));
static_assert(JCVX_BOARD_OFF == wire::code_value(wire::OpenCode::board_off));
static_assert(JCVX_UART_IN_USE == wire::code_value(wire::OpenCode::uart_in_use));
static_assert(JCVX_AMBIGUOUS_UART == wire::code_value(wire::OpenCode::ambiguous_uart));
static_assert(JCVX_NO_UART == wire::code_value(wire::OpenCode::no_uart));
static_assert(JCVX_INCOMPATIBLE_UART == wire::code_value(wire::OpenCode::incompatible_uart));

namespace {

std::mutex error_mutex;
JCVX_ERROR last_error = JCVX_NO_ERROR;
std::string last_error_text;

void record_error(wire::OpenCode code, const std::string& text) {
    std::lock_guard<std::mutex> lock(error_mutex);
    last_error = static_cast<JCVX_ERROR>(wire::code_value(code));
    last_error_text = text;
}

}  // namespace

JTAGCORVEX* jtagcorvex_open(const char* cable, int device, int instance, const char* app_name) {
    wire::ServerAddress address;
    std::string error;
    if (!wire::server_address_from_environment(address, error)) {
        record_error(wire::OpenCode::no_server, error);
        return nullptr;
    }
    std::string secret;
    if (!wire::secret_from_environment(secret, error)) {
        record_error(wire::OpenCode::no_server, error);
        return nullptr;
    }
    wire::OpenRequest request;
    request.cable = cable != nullptr ? cable : "";
    request.device = device;
    request.instance = instance;
    request.pid = jcvx::current_process_id();
    request.app_name = app_name != nullptr && *app_name != '\0' ? app_name : "unnamed client";

    auto* link = new JTAGCORVEX;
    const wire::OpenCode code = link->open(address.host, address.port, request, secret, error);
    if (code != wire::OpenCode::ok) {
        delete link;
        record_error(code, error);
        return nullptr;
    }
    return link;
}

void jtagcorvex_get_info(JTAGCORVEX* link, const char** cable, int* device, int* instance) {
    if (cable != nullptr)
        *cable = link != nullptr ? link->m_cable.c_str() : "";
    if (device != nullptr)
        *device = link != nullptr ? link->m_device : 0;
    if (instance != nullptr)
        *instance = link != nullptr ? link->m_instance : 0;
}

JCVX_ERROR jtagcorvex_get_error(const char** other_info) {
    std::lock_guard<std::mutex> lock(error_mutex);
    if (other_info != nullptr)
        *other_info = last_error_text.c_str();
    return last_error;
}

int jtagcorvex_read(JTAGCORVEX* link, char* buffer, unsigned int size) {
    if (link == nullptr || (buffer == nullptr && size > 0))
        return -1;
    return link->read(buffer, size);
}

int jtagcorvex_write(JTAGCORVEX* link, const char* data, unsigned int size) {
    if (link == nullptr || (data == nullptr && size > 0))
        return -1;
    return link->write(data, size);
}

int jtagcorvex_wait_open(JTAGCORVEX* link) {
    return link != nullptr ? link->wait_open() : -1;
}

void jtagcorvex_close(JTAGCORVEX* link) {
    delete link;
}

int jtagcorvex_cable_warning(JTAGCORVEX* link) {
    return link != nullptr ? link->m_support : 1;
}
