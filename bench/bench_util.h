// Helpers the throughput benchmarks share: reproducible input, best-of-rounds
// timing and pinning to one core, so ours and the reference run alike.
#pragma once

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <random>
#include <vector>

namespace zv_bench {

inline std::vector<unsigned char> make_buffer(std::size_t n, unsigned seed = 42) {
    std::mt19937 gen(seed);
    std::vector<unsigned char> b(n);
    for (auto& c : b) {
        c = static_cast<unsigned char>(gen());
    }
    return b;
}

// MB/s (10^6 bytes) of `run`, which processes `bytes` bytes per call; best of
// five rounds of at least `round_seconds` each.
inline double measure(std::size_t bytes, const std::function<void()>& run, double round_seconds) {
    using clock = std::chrono::steady_clock;
    double best = 0;
    for (int round = 0; round < 5; ++round) {
        std::size_t calls = 0;
        const auto start = clock::now();
        double seconds = 0;
        do {
            run();
            ++calls;
            seconds = std::chrono::duration<double>(clock::now() - start).count();
        } while (seconds < round_seconds);
        best = std::max(best, calls * bytes / seconds / 1e6);
    }
    return best;
}

inline void pin_to_one_core() {
    cpu_set_t set;
    CPU_ZERO(&set);
    const int cpu = sched_getcpu();
    CPU_SET(cpu < 0 ? 0 : cpu, &set);
    sched_setaffinity(0, sizeof(set), &set);
}

}  // namespace zv_bench
