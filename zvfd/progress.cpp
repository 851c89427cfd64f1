#include "zvfd/progress.h"

#include <algorithm>
#include <exception>
#include <thread>

namespace zvfd {

void Progress::add(std::uint64_t bytes) {
    if (!slow_) {
        done_ += bytes;
        return;
    }
    std::lock_guard<std::mutex> lock(print_mutex_);
    done_ += bytes;
    const std::uint64_t steps = done_ / (64u << 20);
    if (steps == slow_steps_) return;
    slow_steps_ = steps;
    const std::uint64_t done = std::min<std::uint64_t>(done_, total_);
    for (const char* prefix : prefixes_) out_.progress(prefix, done, total_);
}

void Progress::report() {
    std::lock_guard<std::mutex> lock(print_mutex_);
    const std::uint64_t done = std::min<std::uint64_t>(done_, total_);
    for (const char* prefix : prefixes_) out_.progress(prefix, done, total_);
}

void run_workers(unsigned count, Progress& progress, const std::function<void(const std::atomic<bool>& failed)>& body) {
    std::atomic<unsigned> running{count};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex error_mutex;
    auto work = [&] {
        try {
            body(failed);
        } catch (...) {
            std::lock_guard<std::mutex> lock(error_mutex);
            if (!error) error = std::current_exception();
            failed = true;
        }
        --running;
        progress.wake();
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < count; ++t) threads.emplace_back(work);
    progress.report_until([&] { return running == 0; });
    for (auto& t : threads) t.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace zvfd
