#include "zvfd/progress.h"

#include <algorithm>

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

}  // namespace zvfd
