// Temporary folders with std::filesystem (mkdtemp is not everywhere).
#include "tests/support/temp-dir.h"

#include <fstream>
#include <map>
#include <random>
#include <sstream>

namespace test_support {

temp_dir::temp_dir() {
    std::random_device random;
    for (;;) {
        std::filesystem::path candidate =
            std::filesystem::temp_directory_path() / ("tolvan-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate)) {
            m_path = candidate.generic_string();
            return;
        }
    }
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

void temp_dir::write(const std::string& name, const std::string& contents) const {
    std::ofstream out(file(name), std::ios::binary);
    out << contents;
}

std::string temp_dir::read(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool temp_dir::exists(const std::string& name) const {
    return std::filesystem::exists(file(name));
}

working_directory::working_directory(const std::string& folder) : m_previous(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
}

working_directory::~working_directory() {
    std::error_code ignored;
    std::filesystem::current_path(m_previous, ignored);
}

}  // namespace test_support

namespace test_support {

const std::string& copy_others_can_run(const std::string& program) {
    namespace fs = std::filesystem;
    static temp_dir folder;
    static std::map<std::string, std::string> copies;
    auto found = copies.find(program);
    if (found != copies.end())
        return found->second;
    const fs::perms everyone_runs = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(folder.path(), everyone_runs);
    const std::string copy = folder.file(std::to_string(copies.size()) + "-" + fs::path(program).filename().string());
    fs::copy_file(program, copy, fs::copy_options::overwrite_existing);
    fs::permissions(copy, everyone_runs);
    return copies.emplace(program, copy).first->second;
}

}  // namespace test_support
