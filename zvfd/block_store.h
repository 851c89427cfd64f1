// Skipping known blocks, compressing, sealing and grouping into packs: the stages
// between a named block and the repository. A block whose name the repository (or
// this run) already holds is not stored again; a new one is compressed (compress.h),
// sealed (cipher.h) and appended to the open pack. Workers call put() at the same
// time; compression and sealing run outside the lock.
//
// A full pack goes into a short queue and a few uploader threads of the store's own
// store it, so workers go on while packs travel and an object store sees several
// uploads at once. Packs are put deferred and made durable together every
// kCommitEvery packs (and at flush()): one flush of the disk for a batch instead of
// two for every pack and index. Only then are their indexes stored, also as a batch,
// so an index never names a pack that a crash could take away. The queue holds as
// many packs as there are uploaders; a worker that finds it full waits, which bounds
// the memory to a few packs per uploader and worker. The first failure of a store is
// thrown by every later put() and by flush(), and the backup fails without writing
// its record.
#pragma once

#include "zvfd/compress.h"
#include "zvfd/pack_presence.h"
#include "zvfd/repository.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zvfd {

constexpr std::size_t kPackSize = 4u << 20;
constexpr std::size_t kCommitEvery = 16;

class BlockStore {
public:
    // `uploaders` 0: as many as the repository's store runs puts at once
    // (Storage::parallel_requests). A known block counts only when `presence` (if
    // given) trusts its pack; otherwise it is stored again.
    BlockStore(Repository& repository, Compression compression, BlockIndex known, std::size_t pack_size = kPackSize,
               unsigned uploaders = 0, PackPresence* presence = nullptr);
    // Stops the uploaders; packs not stored by then are dropped (flush() stores them).
    ~BlockStore();
    BlockStore(const BlockStore&) = delete;
    BlockStore& operator=(const BlockStore&) = delete;

    // Where the block lives, after queueing it when it is new.
    BlockLocation put(const std::string& name, const char* data, std::uint32_t length);
    // Queues the open pack and waits until every pack and its index are stored; call
    // once every put has returned. Throws the first failure of a store.
    void flush();

    std::uint64_t new_blocks() const { return new_blocks_; }
    std::uint64_t known_blocks() const { return known_blocks_; }
    std::uint64_t stored_bytes() const { return stored_bytes_; }

private:
    void stop();
    void enqueue(std::unique_ptr<PackBuilder> pack);
    void upload();
    // Syncs the packs put so far, then stores and syncs their indexes; unless `all`,
    // only once kCommitEvery of them wait (another commit may have taken them).
    void commit(bool all);
    [[noreturn]] void rethrow_failure();

    Repository& repository_;
    Compression compression_;
    std::size_t pack_size_;
    std::mutex mutex_;
    const BlockIndex known_;  // read without the lock: it never changes
    PackPresence* presence_;
    BlockIndex index_;        // blocks new in this run
    std::unique_ptr<PackBuilder> open_;
    std::atomic<std::uint64_t> new_blocks_{0}, known_blocks_{0}, stored_bytes_{0};

    std::mutex queue_mutex_;
    std::condition_variable queued_, room_, idle_;
    std::deque<std::unique_ptr<PackBuilder>> queue_;
    std::vector<std::unique_ptr<PackBuilder>> spares_;  // stored packs, emptied for reuse
    std::vector<std::pair<std::string, std::string>> unsynced_;  // pack id, index bytes
    std::mutex commit_mutex_;  // one commit at a time
    std::size_t capacity_;
    unsigned storing_ = 0;  // packs taken by uploaders and not yet stored
    bool stopping_ = false;
    std::atomic<bool> failed_{false};
    std::exception_ptr failure_;
    std::vector<std::thread> uploaders_;
};

}  // namespace zvfd
