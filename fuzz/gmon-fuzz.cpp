// Fuzz target: the profile capture against a plain reference model over
// arbitrary chunkings of arbitrary target streams. The console bytes and the
// bytes of "gmon.out" must match the model exactly.
//
// Input: one flag byte (bit 0 set: capture off), then chunks, each a length
// byte (taken modulo 65, so 0..64 like a target read) and that many bytes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "cmdline/settings.h"
#include "fuzz/fuzz-check.h"
#include "relay/write-gmon.h"

namespace {

const std::string marker(tolvan::GMON_MARKER, tolvan::GMON_MARKER_LENGTH);

/// The capture written as a reader of the rules would: one chunk at a time,
/// with strings, no in-place moves.
class ReferenceCapture {
public:
    explicit ReferenceCapture(bool enabled) : m_enabled(enabled) {}

    void chunk(const std::string& bytes) {
        if (!m_enabled) {
            console += bytes;
            return;
        }
        std::size_t pos = 0;
        const std::size_t n = bytes.size();
        // A partial match that breaks skips the byte where it broke.
        while (m_matched < marker.size() && pos < n) {
            std::size_t k = std::min(marker.size() - m_matched, n - pos);
            if (bytes.compare(pos, k, marker, m_matched, k) == 0) {
                console += bytes.substr(pos, k);
                m_matched += k;
                pos += k;
                break;
            }
            m_matched = 0;
            console += bytes[pos++];
        }
        if (m_matched < marker.size()) return;

        while (m_held < 4 && pos < n) {
            m_length |= std::uint32_t{static_cast<unsigned char>(bytes[pos++])} << (8 * m_held++);
            if (m_held == 4) {
                if (m_length > 0x7fffffffu) {  // cannot be counted down: dropped
                    idle();
                    console += bytes.substr(pos);
                    return;
                }
                m_remaining = m_length;
            }
        }
        if (m_held < 4) return;

        if (m_remaining > 0 && pos < n) {
            if (!m_file_open) {
                file = std::string();  // opened (and truncated) at its first byte
                m_file_open = true;
            }
            std::size_t k = std::min<std::size_t>(m_remaining, n - pos);
            *file += bytes.substr(pos, k);
            pos += k;
            m_remaining -= static_cast<std::uint32_t>(k);
        }
        if (m_remaining != 0) return;
        idle();
        console += bytes.substr(pos);  // not searched until the next chunk
    }

    std::string console;
    std::optional<std::string> file;  ///< none: never opened

private:
    void idle() {
        m_matched = 0;
        m_held = 0;
        m_length = 0;
        m_remaining = 0;
        m_file_open = false;
    }

    bool m_enabled;
    std::size_t m_matched = 0;
    int m_held = 0;
    std::uint32_t m_length = 0;
    std::uint32_t m_remaining = 0;
    bool m_file_open = false;
};

std::optional<std::string> read_profile_file() {
    std::ifstream in("gmon.out", std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

// "gmon.out" is written to the current directory: use a scratch one.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char directory[] = "/tmp/gmon-fuzz-XXXXXX";
    if (mkdtemp(directory) == nullptr || chdir(directory) != 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tolvan;
    if (size == 0) return 0;
    const bool enabled = (data[0] & 1) == 0;

    reset_settings();
    reset_gmon_capture();
    std::remove("gmon.out");
    settings.write_gmon = enabled ? 1 : 0;

    ReferenceCapture model(enabled);
    std::string console;
    for (std::size_t i = 1; i < size;) {
        std::size_t length = data[i++] % 65;
        if (length > size - i) length = size - i;
        std::string chunk(reinterpret_cast<const char*>(data + i), length);
        i += length;

        char buffer[64];
        chunk.copy(buffer, chunk.size());
        int kept = gmon_capture(buffer, static_cast<int>(chunk.size()));
        FUZZ_CHECK(kept >= 0 && kept <= static_cast<int>(chunk.size()));
        console.append(buffer, static_cast<std::size_t>(kept));
        model.chunk(chunk);
        FUZZ_CHECK(console == model.console);
    }
    FUZZ_CHECK(read_profile_file() == model.file);
    reset_gmon_capture();
    return 0;
}
