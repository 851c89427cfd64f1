#include "zvfd/chunker.h"

#include <algorithm>
#include <cstring>

namespace zvfd {

bool is_all_zero(const char* data, std::size_t len) {
    std::size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        if (word != 0) return false;
    }
    for (; i < len; ++i)
        if (data[i] != 0) return false;
    return true;
}

std::vector<BlockView> cut_blocks(const char* data, std::size_t len, std::uint64_t base, std::uint32_t block_size) {
    std::vector<BlockView> blocks;
    for (std::size_t at = 0; at < len; at += block_size) {
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(block_size, len - at));
        if (!is_all_zero(data + at, n)) blocks.push_back({base + at, data + at, n});
    }
    return blocks;
}

}  // namespace zvfd
