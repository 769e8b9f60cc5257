// The server's log: a queue of lines and a thread that writes them.
#include "server/log.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

namespace {

struct LOG_QUEUE {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> lines;
    std::size_t bytes = 0;        ///< of the lines queued
    std::size_t dropped = 0;      ///< lines that found the queue full since the last said count
    bool writing = false;         ///< the writer holds lines it has taken
    bool started = false;

    /// The writer: takes what is queued and writes it, blocking only itself.
    void write_out() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return !lines.empty() || dropped > 0; });
            // The lines queued came before those dropped (which found the queue full).
            std::string text;
            for (const std::string& line : lines)
                text += "jtag-server: " + line + "\n";
            if (dropped > 0) {
                text += "jtag-server: " + std::to_string(dropped) + " log line" + (dropped == 1 ? "" : "s") +
                        " dropped (standard error did not take them)\n";
                dropped = 0;
            }
            lines.clear();
            bytes = 0;
            writing = true;
            lock.unlock();
            std::fwrite(text.data(), 1, text.size(), stderr);
            std::fflush(stderr);
            lock.lock();
            writing = false;
            changed.notify_all();
        }
    }
};

/// Never destroyed: the writer may still be blocked in a write at exit.
LOG_QUEUE& queue() {
    static auto* log = new LOG_QUEUE;
    return *log;
}

}  // namespace

void server_log(const std::string& line) {
    LOG_QUEUE& log = queue();
    std::lock_guard<std::mutex> lock(log.mutex);
    if (!log.started) {
        log.started = true;
        std::thread([&log] { log.write_out(); }).detach();
    }
    if (log.bytes + line.size() + 1 > k_log_queue_bytes) {
        ++log.dropped;
        return;
    }
    log.lines.push_back(line);
    log.bytes += line.size() + 1;
    log.changed.notify_all();
}

void flush_server_log(std::chrono::milliseconds guard) {
    LOG_QUEUE& log = queue();
    std::unique_lock<std::mutex> lock(log.mutex);
    log.changed.wait_for(lock, guard, [&log] { return log.lines.empty() && log.dropped == 0 && !log.writing; });
}
