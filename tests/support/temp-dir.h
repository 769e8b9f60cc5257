// A fresh temporary folder of a test's own, removed with its contents when
// the test ends, and a change of the working directory for a test's scope.
// For every platform the tests run on (Linux, and Windows under wine).
#pragma once

#include <filesystem>
#include <string>

namespace test_support {

class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    void write(const std::string& name, const std::string& contents) const;
    /// The whole file, byte for byte; empty when there is none.
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;

private:
    std::string m_path;
};

/// A copy of `program` that every user can run, in a folder of its own kept
/// until the process ends: tests that run a program as another user cannot
/// count on reaching the build folder (a clone in root's home). One copy per
/// program.
const std::string& copy_others_can_run(const std::string& program);

/// Makes `folder` the working directory until the end of the scope.
class working_directory {
public:
    explicit working_directory(const std::string& folder);
    ~working_directory();
    working_directory(const working_directory&) = delete;
    working_directory& operator=(const working_directory&) = delete;

private:
    std::filesystem::path m_previous;
};

}  // namespace test_support
