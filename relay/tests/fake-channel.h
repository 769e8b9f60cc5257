// A scripted COMM channel for relay tests: reads come from a script, writes
// take as much as a per-call script allows, and everything is recorded.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "relay/comm.h"

namespace tolvan::test {

class FakeChannel : public COMM {
public:
    /// One read: the bytes to hand out, or a failure count when `bytes` is
    /// empty and `result` is negative.
    struct Read {
        std::string bytes;
        int result = 0;
    };

    void script_read(std::string bytes) { m_reads.push_back({std::move(bytes), 0}); }
    void script_read_failure(int result = -1) { m_reads.push_back({std::string(), result}); }
    /// The next write takes at most `limit` bytes, or returns `limit` when negative.
    void script_write(int limit) { m_write_limits.push_back(limit); }
    /// Called on every read once the script is used up.
    std::function<void()> when_idle;
    /// Called before every read, to check what must hold at that moment.
    std::function<void()> before_read;

    int read(char* buffer, unsigned int max) override {
        ++m_read_calls;
        if (before_read) before_read();
        if (m_reads.empty()) {
            if (when_idle) when_idle();
            return 0;
        }
        Read next = m_reads.front();
        m_reads.pop_front();
        if (next.result < 0) return next.result;
        if (next.bytes.size() > max) {  // the rest stays for the next read
            m_reads.push_front({next.bytes.substr(max), 0});
            next.bytes.resize(max);
        }
        next.bytes.copy(buffer, next.bytes.size());
        m_handed_out += next.bytes;
        return static_cast<int>(next.bytes.size());
    }

    int write(const char* data, unsigned int len) override {
        ++m_write_calls;
        m_offers.emplace_back(data, len);
        int taken = static_cast<int>(len);
        if (!m_write_limits.empty()) {
            int limit = m_write_limits.front();
            m_write_limits.pop_front();
            if (limit < 0) return limit;
            if (limit < taken) taken = limit;
        }
        m_written.append(data, static_cast<std::size_t>(taken));
        return taken;
    }

    int read_calls() const { return m_read_calls; }
    int write_calls() const { return m_write_calls; }
    /// Every byte this channel took, in order.
    const std::string& written() const { return m_written; }
    /// What each write call was offered.
    const std::vector<std::string>& offers() const { return m_offers; }
    /// Every byte that reads handed out so far.
    const std::string& handed_out() const { return m_handed_out; }

private:
    std::deque<Read> m_reads;
    std::deque<int> m_write_limits;
    int m_read_calls = 0;
    int m_write_calls = 0;
    std::string m_written;
    std::string m_handed_out;
    std::vector<std::string> m_offers;
};

}  // namespace tolvan::test
