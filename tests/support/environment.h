// Setting and removing environment variables in tests, on POSIX and Windows.
#pragma once

#include <cstdlib>

namespace test_support {

inline void set_environment(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value);  // the Windows C runtime's way
#else
    ::setenv(name, value, 1);
#endif
}

inline void unset_environment(const char* name) {
#ifdef _WIN32
    _putenv_s(name, "");
#else
    ::unsetenv(name);
#endif
}

}  // namespace test_support
