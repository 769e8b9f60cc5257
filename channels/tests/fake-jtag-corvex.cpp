// The scripted stand-in for the JTAG UART access library.
#include "fake-jtag-corvex.h"

#include <cstring>

#include "jtag_corvex.h"

struct JTAGCORVEX {
    int serial;
};

namespace fake_jtag {

namespace {
State the_state;
JTAGCORVEX the_link{0};
int last_error = 0;
}  // namespace

State& state() {
    return the_state;
}

void reset() {
    the_state = State{};
    last_error = 0;
}

}  // namespace fake_jtag

using fake_jtag::state;

JTAGCORVEX* jtagcorvex_open(const char* cable, int device, int instance, const char* app_name) {
    auto& s = state();
    ++s.opens;
    s.last_cable = cable ? std::optional<std::string>(cable) : std::nullopt;
    s.last_device = device;
    s.last_instance = instance;
    s.last_app = app_name;
    int result = 0;
    if (!s.open_results.empty()) {
        result = s.open_results.front();
        s.open_results.pop_front();
    }
    if (result != 0) {
        fake_jtag::last_error = result;
        return nullptr;
    }
    return &fake_jtag::the_link;
}

void jtagcorvex_get_info(JTAGCORVEX*, const char** cable, int* device, int* instance) {
    *cable = state().cable.c_str();
    *device = state().device;
    *instance = state().instance;
}

JCVX_ERROR jtagcorvex_get_error(const char** other_info) {
    ++state().get_error_calls;
    *other_info = state().error_text.c_str();
    return static_cast<JCVX_ERROR>(fake_jtag::last_error);
}

int jtagcorvex_read(JTAGCORVEX*, char* buffer, unsigned int size) {
    auto& s = state();
    ++s.reads_done;
    if (s.reads.empty()) return s.read_result_when_empty;
    std::string chunk = s.reads.front();
    s.reads.pop_front();
    if (chunk.size() > size) {
        s.reads.push_front(chunk.substr(size));
        chunk.resize(size);
    }
    std::memcpy(buffer, chunk.data(), chunk.size());
    return static_cast<int>(chunk.size());
}

int jtagcorvex_write(JTAGCORVEX*, const char* data, unsigned int size) {
    auto& s = state();
    if (s.write_result < 0) return s.write_result;
    unsigned taken = size < s.write_limit ? size : s.write_limit;
    s.writes.emplace_back(data, taken);
    return static_cast<int>(taken);
}

int jtagcorvex_wait_open(JTAGCORVEX*) {
    ++state().wait_open_calls;
    return 0;
}

void jtagcorvex_close(JTAGCORVEX*) {
    ++state().closes;
}

#ifndef FAKE_WITHOUT_CABLE_WARNING
int jtagcorvex_cable_warning(JTAGCORVEX*) {
    return state().cable_warning;
}
#endif
