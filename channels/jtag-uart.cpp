// The JTAG UART channel: connection with its diagnostics and cable check,
// reads that pace the relay and detect a lost cable, reconnection.
#include "channels/jtag-uart.h"

#include <cstdio>
#include <cstdlib>

#include "cmdline/settings.h"
#include "jtag_corvex.h"
#include "platform/module.h"
#include "platform/timer.h"

namespace tolvan {

namespace {

/// A read that begins with this many 0xFF bytes comes from a floating data
/// line: the cable is gone.
constexpr int INTERRUPTION_RUN = 10;

void say(const char* line) {
    std::fprintf(stderr, line, PROGRAM_NAME);
}

void say(const char* line, const char* detail) {
    std::fprintf(stderr, line, PROGRAM_NAME, detail);
}

const char* cable_setting() {
    return settings.jtag_cable ? settings.jtag_cable->c_str() : nullptr;
}

JTAGCORVEX* open_connection() {
    return jtagcorvex_open(cable_setting(), settings.jtag_device, settings.jtag_instance, PROGRAM_NAME);
}

/// Asks the library module, loaded by name, whether the cable is supported;
/// 1 (cannot be verified) when the module or its entry is missing.
int check_cable(JTAGCORVEX* connection) {
    int result = 1;
    if (void* module = platform::load_module(platform::jtag_library_module)) {
        using cable_warning_fn = int (*)(JTAGCORVEX*);
        if (void* entry = platform::find_entry(module, platform::cable_warning_entry)) {
            result = reinterpret_cast<cable_warning_fn>(entry)(connection);
        }
        platform::release_module(module);
    }
    return result;
}

void print_cable_warning(int check) {
    std::fprintf(stderr, "\n");
    if (check == 1) {
        say("%s: Warning: Unable to verify whether your download cable is\n");
        say("%s: supported for Tolvan systems.  If you use an unsupported cable\n");
        say("%s: you may experience intermittent JTAG communication failures.\n");
        say("%s: Please refer to the file errata.txt included in the Tolvan\n");
        say("%s: development kit documents directory for information on how to\n");
        say("%s: update your system.\n");
    } else {
        say("%s: Warning: The JTAG cable you are using is not supported for Tolvan\n");
        say("%s: systems.  You may experience intermittent JTAG communication\n");
        say("%s: failures with this cable.  Please use a USB Ferrant revision B\n");
        say("%s: cable or another supported cable.  Please refer to the file\n");
        say("%s: errata.txt included in the Tolvan development kit documents\n");
        say("%s: directory for more information.\n");
    }
    std::fprintf(stderr, "\n");
}

}  // namespace

void print_connection_failure(int code, const char* error_text) {
    const char* cable = cable_setting();
    switch (code) {
    case JCVX_NO_SERVER:
        say("%s: Unable to connect to local JTAG server.  Please check that\n");
        say("%s: Corlane is correctly installed on your machine and use the\n");
        say("%s: `chainprobe` utility to diagnose further.\n");
        break;
    case JCVX_AMBIGUOUS_CABLE:
        say("%s: You have more than one JTAG cable available so you must use the\n");
        say("%s: --cable option to choose between them (or set up a cable from\n");
        say("%s: the launch configuration window).\n");
        if (cable == nullptr) {
            say("%s: No --cable option was provided (or you selected Automatic)\n");
        } else {
            say("%s: Two or more cables match the --cable option you provided\n");
            say("%s: (%s) - please be more specific.\n", cable);
        }
        break;
    case JCVX_NO_CABLE:
        if (cable == nullptr) {
            say("%s: There are no JTAG cables available on your system.\n");
        } else {
            say("%s: There are no JTAG cables available on your system which match\n");
            say("%s: the --cable option you provided (%s).\n", cable);
        }
        break;
    case JCVX_CABLE_UNPLUGGED:
        say("%s: The selected JTAG cable is not plugged into your PC.\n");
        break;
    case JCVX_BOARD_OFF:
        say("%s: The selected JTAG cable is either not connected to a board, or\n");
        say("%s: the board is not switched on.\n");
        break;
    case JCVX_UART_IN_USE:
        say("%s: Unable to connect to JTAG UART because another application\n");
        if (error_text != nullptr && error_text[0] != '\0') say("%s: (%s)\n", error_text);
        say("%s: is using it (or is using something else which clashes). Please close\n");
        say("%s: the other application and try again.\n");
        break;
    case JCVX_AMBIGUOUS_UART:
        say("%s: More than one JTAG UART is available.  Please specify\n");
        say("%s: --device and/or --instance options to select one.\n");
        break;
    case JCVX_NO_UART:
        say("%s: There are no JTAG UARTs available which match the --device and\n");
        say("%s: --instance options you provided.\n");
        break;
    case JCVX_INCOMPATIBLE_UART:
        say("%s: The JTAG UART selected is not compatible with this version\n");
        say("%s: of the software.\n");
        break;
    default:
        std::fprintf(stderr, "%s: An internal error (%d) is preventing connection to the\n", PROGRAM_NAME, code);
        say("%s: JTAG UART.\n");
        break;
    }
}

COMM_JTAG_UART::COMM_JTAG_UART() {
    m_connection = open_connection();
    if (m_connection == nullptr) {
        const char* error_text = nullptr;
        JCVX_ERROR code = jtagcorvex_get_error(&error_text);
        print_connection_failure(static_cast<int>(code), error_text);
        std::exit(1);
    }

    const char* cable = nullptr;
    int device = 0;
    int instance = 0;
    jtagcorvex_get_info(m_connection, &cable, &device, &instance);
    if (cable == nullptr) cable = "";
    if (settings.verbose) {
        std::printf("%s: connected to hardware target using JTAG UART on cable\n%s: \"%s\", device %d, instance %d\n",
                    PROGRAM_NAME, PROGRAM_NAME, cable, device, instance);
    }

    int check = check_cable(m_connection);
    if (check != 0) print_cable_warning(check);

    // Every reconnection asks for exactly the UART found now.
    settings.jtag_cable = std::string(cable);
    settings.jtag_device = device;
    settings.jtag_instance = instance;
}

COMM_JTAG_UART::~COMM_JTAG_UART() {
    if (m_connection != nullptr) {
        jtagcorvex_close(m_connection);
        m_connection = nullptr;
    }
}

void COMM_JTAG_UART::wait_open() {
    if (m_connection != nullptr) jtagcorvex_wait_open(m_connection);
}

int COMM_JTAG_UART::read(char* buffer, unsigned int max) {
    if (m_connection == nullptr) {
        m_connection = open_connection();
        if (m_connection == nullptr) {
            platform::sleep_microseconds(1000000);
            return 0;
        }
        std::printf("\nConnected!\n");
    }

    int n = jtagcorvex_read(m_connection, buffer, max);

    if (n >= INTERRUPTION_RUN) {
        bool floating = true;
        for (int i = 0; i < INTERRUPTION_RUN && floating; ++i) {
            floating = static_cast<unsigned char>(buffer[i]) == 0xFF;
        }
        if (floating) {
            std::printf("\nJTAG connection interrupted!\n");
            jtagcorvex_close(m_connection);
            m_connection = nullptr;
            n = -1;
        }
    }

    if (n == 0) platform::sleep_microseconds(100000);

    if (settings.persistent && n < 0 && m_connection != nullptr) {
        jtagcorvex_close(m_connection);
        m_connection = nullptr;
    }
    return n;
}

int COMM_JTAG_UART::write(const char* data, unsigned int len) {
    if (m_connection == nullptr) return 0;
    int n = jtagcorvex_write(m_connection, data, len);
    if (settings.persistent && n < 0) return 0;
    return n;
}

}  // namespace tolvan
