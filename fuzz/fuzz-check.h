// Property checks shared by the fuzz targets: a broken property is reported
// with its text and ends the run as a crash, which libFuzzer (or the replay
// test) records with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                        \
    do {                                                                                             \
        if (!(condition)) {                                                                          \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition);    \
            std::abort();                                                                            \
        }                                                                                            \
    } while (0)
