// Carves a profile block (marker line, 4-byte length, data) out of the target
// stream into "gmon.out"; everything else goes on to the console.
#pragma once

namespace tolvan {

/// The marker line the target prints before a profile block.
inline constexpr char GMON_MARKER[] = "**gmon.out data follows**\n";
inline constexpr int GMON_MARKER_LENGTH = 26;

/// Filters `count` bytes just read from the target in place and returns how
/// many remain for the console, at the start of `buffer`. State carries over
/// between calls.
int gmon_capture(char* buffer, int count);

/// Back to the idle state, closing any open profile file (tests only).
void reset_gmon_capture();

}  // namespace tolvan
