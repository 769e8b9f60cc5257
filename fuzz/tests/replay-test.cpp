// Replays a fuzz target over its corpus and its regression inputs in the
// normal test suite, so every input that once broke a property stays fixed.
// A broken property aborts the run; the input's name is printed before it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

std::vector<std::filesystem::path> inputs_in(const char* directory) {
    std::vector<std::filesystem::path> files;
    if (!std::filesystem::is_directory(directory)) return files;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

void replay(const std::vector<std::filesystem::path>& files) {
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        ASSERT_TRUE(in) << file;
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        std::fprintf(stderr, "replaying %s\n", file.c_str());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
}

class FuzzReplay : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(nullptr, nullptr);
    }
};

TEST_F(FuzzReplay, Corpus) {
    auto files = inputs_in(TT_FUZZ_CORPUS_DIR);
    EXPECT_FALSE(files.empty()) << "no corpus in " << TT_FUZZ_CORPUS_DIR;
    replay(files);
}

TEST_F(FuzzReplay, Regressions) {
    replay(inputs_in(TT_FUZZ_REGRESSION_DIR));
}

}  // namespace
