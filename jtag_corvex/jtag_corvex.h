// jtag_corvex: access library for JTAG UARTs on target boards, reached
// through the local JTAG server. Any build of this library can replace any
// other: the declarations below are its whole interface.
#pragma once

struct JTAGCORVEX;

/// Why the last jtagcorvex_open of the process failed.
enum JCVX_ERROR {
    JCVX_NO_ERROR = 0,
    JCVX_NO_SERVER = -1,            ///< the local JTAG server cannot be reached
    JCVX_AMBIGUOUS_CABLE = -2,      ///< several cables; the cable setting singles none out
    JCVX_NO_CABLE = -3,             ///< no cable, or none matches the cable setting
    JCVX_CABLE_UNPLUGGED = -4,      ///< the selected cable is not plugged into the host
    JCVX_BOARD_OFF = -5,            ///< no board on the cable, or the board is off
    JCVX_UART_IN_USE = -6,          ///< another client holds the JTAG UART
    JCVX_AMBIGUOUS_UART = -7,       ///< several JTAG UARTs; device and instance choose none
    JCVX_NO_UART = -8,              ///< no JTAG UART matches device and instance
    JCVX_INCOMPATIBLE_UART = -9,    ///< the JTAG UART is not compatible with this library
};

/// Opens the JTAG UART chosen by cable (none: any), device and instance
/// (-1: any); none on failure, then jtagcorvex_get_error tells why.
JTAGCORVEX* jtagcorvex_open(const char* cable, int device, int instance, const char* app_name);

/// The cable name, device and instance of an open connection. The name stays
/// readable until the connection is closed.
void jtagcorvex_get_info(JTAGCORVEX* link, const char** cable, int* device, int* instance);

/// The code of the last failed open, and a text (never null, possibly empty).
JCVX_ERROR jtagcorvex_get_error(const char** other_info);

/// Never blocks: the bytes already received (0 when none); negative once the
/// connection to the server is lost.
int jtagcorvex_read(JTAGCORVEX* link, char* buffer, unsigned int size);

/// Never blocks: the bytes taken into the UART's receive FIFO (0 when it is
/// full); negative once the connection to the server is lost.
int jtagcorvex_write(JTAGCORVEX* link, const char* data, unsigned int size);

/// Returns once the connection is established and the bytes the UART held
/// when it was made are available to jtagcorvex_read.
int jtagcorvex_wait_open(JTAGCORVEX* link);

void jtagcorvex_close(JTAGCORVEX* link);

/// 0: the cable is supported; 1: cannot be verified; other: not supported.
int jtagcorvex_cable_warning(JTAGCORVEX* link);
