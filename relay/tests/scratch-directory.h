// A new, empty directory of a test's own under the system's temporary
// directory (mkdtemp is not everywhere: the tests also run on Windows).
#pragma once

#include <filesystem>
#include <random>
#include <string>

namespace tolvan::test {

inline std::filesystem::path make_scratch_directory(const std::string& stem) {
    std::random_device random;
    for (;;) {
        std::filesystem::path candidate =
            std::filesystem::temp_directory_path() / (stem + "-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate)) return candidate;
    }
}

}  // namespace tolvan::test
