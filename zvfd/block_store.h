// Skipping known blocks, compressing, sealing and grouping into packs: the stages
// between a named block and the repository. A block whose name the repository (or
// this run) already holds is not stored again; a new one is compressed (compress.h),
// sealed (cipher.h) and appended to the open pack, which is stored with its index
// once it reaches the pack size. Workers call put() at the same time; compression
// and sealing run outside the lock.
#pragma once

#include "zvfd/compress.h"
#include "zvfd/repository.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace zvfd {

constexpr std::size_t kPackSize = 4u << 20;

class BlockStore {
public:
    BlockStore(Repository& repository, Compression compression, BlockIndex known, std::size_t pack_size = kPackSize);
    // Where the block lives, after storing it when it is new.
    BlockLocation put(const std::string& name, const char* data, std::uint32_t length);
    // Stores the open pack; call once every put has returned.
    void flush();

    std::uint64_t new_blocks() const { return new_blocks_; }
    std::uint64_t known_blocks() const { return known_blocks_; }
    std::uint64_t stored_bytes() const { return stored_bytes_; }

private:
    Repository& repository_;
    Compression compression_;
    std::size_t pack_size_;
    std::mutex mutex_;
    BlockIndex index_;
    std::unique_ptr<PackBuilder> open_;
    std::atomic<std::uint64_t> new_blocks_{0}, known_blocks_{0}, stored_bytes_{0};
};

}  // namespace zvfd
