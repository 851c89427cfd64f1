// Seeded random bytes for tests that need data which neither compresses nor repeats,
// the same for the same seed.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

namespace zv_test {

inline std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937_64 random(seed);
    std::string data(size, '\0');
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        const std::uint64_t word = random();
        std::memcpy(&data[i], &word, 8);
    }
    return data;
}

}  // namespace zv_test
