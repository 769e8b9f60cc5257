// The command-line scanner, called in the manner of POSIX getopt. Non-options
// are always permuted behind the options; every error is reported and skipped
// so that one run names all bad options.
#include "cmdline/option-scanner.h"

#include <cstdio>
#include <cstring>

namespace tolvan {

int optind = 1;
const char* optarg = nullptr;
int optopt = 0;
int opterr = 1;
const char* nextchar = "";

void reset_option_scanner() {
    optind = 1;
    optarg = nullptr;
    optopt = 0;
    opterr = 1;
    nextchar = "";
}

namespace {

// A lone "-" names no option: it stays with the non-options.
bool is_option_element(const char* element) {
    return element[0] == '-' && element[1] != '\0';
}

// The leading '-' and the ':' argument markers of the short-option string
// are not option letters, so they are never found here.
const char* find_short_option(const char* short_options, int c) {
    if (c == ':' || c == '-' || c == '\0') return nullptr;
    return std::strchr(short_options, c);
}

int scan_long_option(int argc, char** argv, const option* long_options, int* longindex) {
    const char* text = argv[optind] + 2;
    nextchar = text;
    const char* equals = std::strchr(text, '=');
    std::size_t len = equals ? static_cast<std::size_t>(equals - text) : std::strlen(text);

    int found = -1;
    for (int i = 0; long_options[i].name != nullptr; ++i) {
        const char* name = long_options[i].name;
        if (std::strlen(name) == len && std::strncmp(name, text, len) == 0) {
            found = i;
            break;
        }
    }
    if (found < 0) {
        if (opterr) std::fprintf(stderr, "%s: invalid option -- %s\n", argv[0], text);
        ++optind;
        nextchar = "";
        return '?';
    }

    const option& row = long_options[found];
    if (row.has_arg != 0) {
        if (equals) {
            optarg = equals + 1;
        } else if (optind + 1 < argc) {
            ++optind;
            optarg = argv[optind];
        } else {
            ++optind;
            nextchar = "";
            if (opterr) std::fprintf(stderr, "%s: option requires an argument -- %s\n", argv[0], row.name);
            return '?';
        }
    } else {
        optarg = nullptr;  // a "=value" after a name without argument is dropped
    }

    ++optind;
    if (longindex) *longindex = found;
    nextchar = "";
    if (row.flag) {
        *row.flag = row.val;
        return 0;
    }
    return row.val;
}

int scan_short_option(int argc, char** argv, const char* short_options) {
    int c = static_cast<unsigned char>(nextchar[0]);
    optopt = c;
    nextchar = nextchar + 1;
    const char* letter = find_short_option(short_options, c);

    if (letter == nullptr) {
        if (*nextchar == '\0') ++optind;
        if (opterr) std::fprintf(stderr, "%s: invalid option -- %c\n", argv[0], c);
        return '?';
    }
    if (letter[1] != ':') {
        optarg = nullptr;
        if (*nextchar == '\0') ++optind;
        return c;
    }

    if (*nextchar != '\0') {
        optarg = nextchar;
    } else {
        ++optind;
        if (optind >= argc) {
            nextchar = "";
            if (opterr) std::fprintf(stderr, "%s: option requires an argument -- %c\n", argv[0], c);
            return '?';
        }
        optarg = argv[optind];
    }
    nextchar = "";
    ++optind;
    return c;
}

}  // namespace

int next_option(int argc, char** argv, const char* short_options, const option* long_options,
                int* longindex) {
    if (*nextchar != '\0') return scan_short_option(argc, argv, short_options);

    if (optind >= argc) {
        nextchar = "";
        return -1;
    }

    if (!is_option_element(argv[optind])) {
        int found = optind + 1;
        while (found < argc && !is_option_element(argv[found])) ++found;
        if (found >= argc) {
            nextchar = "";
            return -1;
        }
        // Rotate the option element in front of the non-options it passed;
        // a separate argument after it stays where it was.
        char* element = argv[found];
        for (int i = found; i > optind; --i) argv[i] = argv[i - 1];
        argv[optind] = element;
    }

    const char* element = argv[optind];
    if (std::strcmp(element, "--") == 0) {
        ++optind;
        nextchar = "";
        return -1;
    }
    if (element[1] == '-') return scan_long_option(argc, argv, long_options, longindex);

    nextchar = element + 1;
    return scan_short_option(argc, argv, short_options);
}

}  // namespace tolvan
