// A scripted stand-in for the JTAG UART access library, for channel tests.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace fake_jtag {

struct State {
    std::deque<int> open_results;  ///< per open: 0 succeeds, else the failure code; empty: succeed
    std::string error_text;
    std::string cable = "FakeCable";
    int device = 1;
    int instance = 0;
    int cable_warning = 0;
    std::deque<std::string> reads;  ///< per read: the bytes it returns
    int read_result_when_empty = 0;  ///< what a read returns with no script left
    std::vector<std::string> writes;
    int write_result = 0;  ///< negative: every write fails with it; else writes take up to write_limit
    unsigned write_limit = 1u << 30;
    int opens = 0, closes = 0, get_error_calls = 0, wait_open_calls = 0, reads_done = 0;
    std::optional<std::string> last_cable;
    int last_device = 0, last_instance = 0;
    std::string last_app;
};

State& state();
void reset();

}  // namespace fake_jtag
