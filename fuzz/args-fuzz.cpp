// Fuzz target: the option scanner and argument processing on arbitrary
// argument vectors (elements separated by NUL bytes in the input). Every
// vector must be accepted or refused without an abort or an exit; the
// scanner may reorder the pointers but never touch the texts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cmdline/option-scanner.h"
#include "cmdline/process-args.h"
#include "cmdline/settings.h"
#include "cmdline/usage.h"
#include "fuzz/fuzz-check.h"

namespace {

std::vector<std::string> split_elements(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> elements;
    if (size == 0) return elements;  // argc 0, as exec allows
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            elements.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    elements.push_back(current);
    return elements;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tolvan;
    const std::vector<std::string> original = split_elements(data, size);
    std::vector<std::string> texts = original;
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    const std::vector<char*> pointers(argv.begin(), argv.end() - 1);
    const int argc = static_cast<int>(texts.size());

    reset_settings();
    reset_option_scanner();
    const int result = process_args(argc, argv.data());

    // Accepted (0) or refused (1, the entry's exit status); nothing else.
    FUZZ_CHECK(result == 0 || result == 1);
    FUZZ_CHECK(result == settings.illegal_option);

    // Only the order of the pointers may change, and argv[0] stays first.
    FUZZ_CHECK(argv[argc] == nullptr);
    std::vector<char*> after(argv.begin(), argv.end() - 1);
    if (argc > 0) FUZZ_CHECK(after[0] == pointers[0]);
    std::vector<char*> sorted_before = pointers;
    std::sort(sorted_before.begin(), sorted_before.end());
    std::sort(after.begin(), after.end());
    FUZZ_CHECK(after == sorted_before);
    FUZZ_CHECK(texts == original);

    // The checked numbers keep their documented ranges.
    FUZZ_CHECK(settings.wait_secs >= 0);
    FUZZ_CHECK(settings.quit_after_secs >= 0);
    FUZZ_CHECK(settings.jtag_device >= -1);
    FUZZ_CHECK(settings.jtag_instance >= -1);
    FUZZ_CHECK(settings.target_args.size() <= texts.size());
    for (const std::string& target_arg : settings.target_args)
        FUZZ_CHECK(std::find(original.begin(), original.end(), target_arg) != original.end());

    // What the entry does next with an accepted line, short of running.
    if (result != 0) return 0;
    set_dump_flags(settings.dump_options);
    print_effective_command_line();
    if (settings.show_help) print_usage();
    return 0;
}

