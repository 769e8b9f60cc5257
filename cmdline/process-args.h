// Argument processing and the program entry.
#pragma once

namespace tolvan {

/// Turns the command line into the settings record; returns illegal_option.
/// Reorders the pointers of argv.
int process_args(int argc, char** argv);

/// What the program entry runs once the command line is accepted.
using terminal_driver = void (*)();

/// The program entry: process the arguments, then answer --version, print the
/// effective command line, answer --help, or call `run_terminal`. Returns 0
/// when it returns; the entry's other ends call exit.
int program_main(int argc, char** argv, terminal_driver run_terminal);

}  // namespace tolvan
