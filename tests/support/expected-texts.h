// The terminal's own texts as the tests expect them, written once, with line
// feeds as the Linux program prints them; crlf() gives what the Windows
// program's text mode writes (each line feed as carriage return and line feed).
#pragma once

#include <string>

namespace test_support {

/// The prefix of every message line of the terminal's own.
inline const std::string P = "tolvan-terminal: ";

/// The connection message for the single UART of the usual test board.
inline const std::string CONNECTED = P + "connected to hardware target using JTAG UART on cable\n" + P +
                                     "\"SimCable [sim-0]\", device 1, instance 0\n";
inline const std::string BANNER = P + "(Use the IDE stop button or Ctrl-C to terminate)\n\n";

/// The demo target's output: once when its board powers on (held in the
/// FIFO until a terminal connects, unless it flushes), then on each connection.
inline const std::string DEMO_POWER_ON = "Tolvan demo board powered on.\n";
inline const std::string DEMO_GREETING = "Tolvan demo target ready. Type 'help' for commands.\n";

/// The end of a run: `words` is "user timeout", "^D on remote",
/// "I/O error communicating with target" or "^C on host".
inline std::string exit_line(const std::string& words) {
    return "\n\n" + P + "exiting due to " + words + "\n";
}

inline const std::string NO_SERVER_REPORT = P + "Unable to connect to local JTAG server.  Please check that\n" + P +
                                            "Corlane is correctly installed on your machine and use the\n" + P +
                                            "`chainprobe` utility to diagnose further.\n";
inline const std::string SEVERAL_CABLES_REPORT =
    P + "You have more than one JTAG cable available so you must use the\n" + P +
    "--cable option to choose between them (or set up a cable from\n" + P + "the launch configuration window).\n";
inline const std::string NO_CABLE_OPTION_LINE = P + "No --cable option was provided (or you selected Automatic)\n";

/// The report when no cable matches the --cable text.
inline std::string no_matching_cable_report(const std::string& cable) {
    return P + "There are no JTAG cables available on your system which match\n" + P +
           "the --cable option you provided (" + cable + ").\n";
}

/// Each line of `text` with the prefix of the terminal's messages.
inline std::string prefixed(const std::string& text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        const std::size_t next = end == std::string::npos ? text.size() : end + 1;
        out += P + text.substr(at, next - at);
        at = next;
    }
    return out;
}

/// The cable warnings, with the empty lines before and after them.
inline const std::string UNVERIFIED_CABLE_WARNING =
    "\n" +
    prefixed("Warning: Unable to verify whether your download cable is\n"
             "supported for Tolvan systems.  If you use an unsupported cable\n"
             "you may experience intermittent JTAG communication failures.\n"
             "Please refer to the file errata.txt included in the Tolvan\n"
             "development kit documents directory for information on how to\n"
             "update your system.\n") +
    "\n";
inline const std::string UNSUPPORTED_CABLE_WARNING =
    "\n" +
    prefixed("Warning: The JTAG cable you are using is not supported for Tolvan\n"
             "systems.  You may experience intermittent JTAG communication\n"
             "failures with this cable.  Please use a USB Ferrant revision B\n"
             "cable or another supported cable.  Please refer to the file\n"
             "errata.txt included in the Tolvan development kit documents\n"
             "directory for more information.\n") +
    "\n";

/// Every line feed as carriage return and line feed.
inline std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

/// Every carriage return and line feed as a line feed, the other way.
inline std::string without_carriage_returns(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out.push_back(text[i]);
    }
    return out;
}

}  // namespace test_support
