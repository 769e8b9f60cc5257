// Module loading with dlopen; the cable-check entry under its C++ mangled name.
#include "platform/module.h"

#include <dlfcn.h>

namespace platform {

const char* const jtag_library_module = TT_JTAG_LIBRARY_FILE;
const char* const cable_warning_entry = "_Z24jtagcorvex_cable_warningP10JTAGCORVEX";

void* load_module(const char* name) {
    return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void* find_entry(void* module, const char* name) {
    return dlsym(module, name);
}

void release_module(void* module) {
    dlclose(module);
}

}  // namespace platform
