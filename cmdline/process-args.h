// Argument processing and the program entry.
#pragma once

namespace tolvan {

/// Turns the command line into the settings record; returns illegal_option.
/// Reorders the pointers of argv.
int process_args(int argc, char** argv);

/// The program entry: process the arguments, then answer --version, print the
/// effective command line, answer --help, or run the terminal. Returns 0 when
/// the terminal returns; its other ends call exit.
int program_main(int argc, char** argv);

}  // namespace tolvan
