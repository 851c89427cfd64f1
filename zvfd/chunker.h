// Cutting stage: a piece of data becomes blocks of the block size ("-b"), the last
// one of a file shorter. Blocks of zero bytes are dropped: a restore leaves them as
// holes, so neither the repository nor the restored file spends space on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zvfd {

struct BlockView {
    std::uint64_t offset;  // in the file
    const char* data;
    std::uint32_t length;
};

bool is_all_zero(const char* data, std::size_t len);

// Blocks of `len` bytes at `data`, which were read from file offset `base` (a
// multiple of `block_size`); zero blocks left out.
std::vector<BlockView> cut_blocks(const char* data, std::size_t len, std::uint64_t base, std::uint32_t block_size);

}  // namespace zvfd
