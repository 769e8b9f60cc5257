// Run-time module loading: the JTAG UART library module found by name, and an
// entry looked up under its decorated name.
#pragma once

namespace platform {

/// The name under which the JTAG UART library module is loaded.
extern const char* const jtag_library_module;
/// The decorated name of the optional cable-check entry on this platform.
extern const char* const cable_warning_entry;

/// A handle to the loaded module, or null.
void* load_module(const char* name);
/// The address of an entry, or null.
void* find_entry(void* module, const char* name);
void release_module(void* module);

}  // namespace platform
