// The command-line scanner: long options, short options in clusters, the end
// marker "--", and non-options permuted behind the options.
#pragma once

#include "cmdline/settings.h"

namespace tolvan {

/// Index of the next element to examine; after -1, the first element that
/// was not consumed as an option.
extern int optind;
/// Argument of the option just returned; points into its element.
extern const char* optarg;
/// The short-option character examined last, valid or not.
extern int optopt;
/// Diagnostics are printed unless this is 0.
extern int opterr;
/// The unexamined rest of the current cluster of short options.
extern const char* nextchar;

/// Returns the next option (a short-option character, a row's val, 0 for a
/// row with a flag, '?' for an error) or -1 when scanning is over. Reorders
/// the pointers of argv, never the texts.
int next_option(int argc, char** argv, const char* short_options, const option* long_options,
                int* longindex);

/// Back to the start-up state (tests scan many command lines in one process).
void reset_option_scanner();

}  // namespace tolvan
