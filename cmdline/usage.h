// The usage text for --help and the effective command line for the 'c' dump
// switch; both print the settings in force and change nothing.
#pragma once

namespace tolvan {

/// The usage text; with the 'h' dump switch, the current settings in brackets.
void print_usage();

/// A command line that restates the main settings in force.
void print_effective_command_line();

}  // namespace tolvan
