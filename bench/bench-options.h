// The options of the bench helpers: "--NAME VALUE..." words after their fixed
// arguments, read from one table per program.
#pragma once

#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <string>

struct BENCH_OPTION {
    const char* name;
    int values;                          ///< words that follow the name
    std::function<void(char**)> take;    ///< given the first of them
};

/// An option of one number, stored in `value`.
template <typename T>
BENCH_OPTION number_option(const char* name, T& value) {
    return {name, 1, [&value](char** words) { value = static_cast<T>(std::strtod(words[0], nullptr)); }};
}

/// An option of one word, stored in `value`.
inline BENCH_OPTION text_option(const char* name, std::string& value) {
    return {name, 1, [&value](char** words) { value = words[0]; }};
}

/// Reads argv[first] onwards as options of `known`; false on an unknown
/// option or one whose values are missing.
inline bool read_options(int argc, char** argv, int first, std::initializer_list<BENCH_OPTION> known) {
    for (int i = first; i < argc;) {
        const BENCH_OPTION* found = nullptr;
        for (const BENCH_OPTION& option : known)
            if (std::string(argv[i]) == option.name)
                found = &option;
        if (found == nullptr || i + found->values >= argc)
            return false;
        found->take(argv + i + 1);
        i += 1 + found->values;
    }
    return true;
}
