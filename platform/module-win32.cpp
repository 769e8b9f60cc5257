// Module loading with LoadLibraryA; the cable-check entry under the decorated
// name that the library's module-definition file exports it as.
#include "platform/module.h"

#include <windows.h>

namespace platform {

const char* const jtag_library_module = "jtag_corvex";
const char* const cable_warning_entry = "?jtagcorvex_cable_warning@@YAHPEAUJTAGCORVEX@@@Z";

void* load_module(const char* name) {
    return reinterpret_cast<void*>(LoadLibraryA(name));
}

void* find_entry(void* module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void release_module(void* module) {
    FreeLibrary(static_cast<HMODULE>(module));
}

}  // namespace platform
