// Progress of a backup or restore: workers add the bytes they finished; the main
// thread prints the protocol lines ("Packed: ", "Unpacked: ", "Transferred: ") a few
// times a second while it waits for them, with bytes done, total and percent.
// Paced by the test aid (slowed or held), the lines come instead once per 64 MiB of work, from
// the worker that finished it, and every worker waits while they are printed.
#pragma once

#include "zvfd/cli.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace zvfd {

class Progress {
public:
    Progress(Output& out, std::vector<const char*> prefixes, std::uint64_t total, bool slow = false)
        : out_(out), prefixes_(std::move(prefixes)), total_(total), slow_(slow) {}
    void add(std::uint64_t bytes);
    // Prints the lines now.
    void report();
    // Prints the lines every `period` until `finished` says so; then once more.
    template <typename Finished>
    void report_until(Finished finished, std::chrono::milliseconds period = std::chrono::milliseconds(250)) {
        std::unique_lock<std::mutex> lock(mutex_);
        bool first = true;
        while (!finished()) {
            lock.unlock();
            if (first || !slow_) report();
            first = false;
            lock.lock();
            wake_.wait_for(lock, period, finished);
        }
        lock.unlock();
        report();
    }
    // Workers call this when they end, so the last line comes at once.
    void wake() {
        std::lock_guard<std::mutex> lock(mutex_);
        wake_.notify_all();
    }

private:
    Output& out_;
    std::vector<const char*> prefixes_;
    std::uint64_t total_;
    bool slow_;
    std::uint64_t slow_steps_ = 0;
    std::mutex print_mutex_;
    std::atomic<std::uint64_t> done_{0};
    std::mutex mutex_;
    std::condition_variable wake_;
};

// Runs `body` on `count` threads while `progress` prints its lines. The first
// exception a worker throws sets `failed`, which the others watch to stop early, and
// is thrown here once every worker has ended.
void run_workers(unsigned count, Progress& progress, const std::function<void(const std::atomic<bool>& failed)>& body);

}  // namespace zvfd
